#pragma once

#include <exception>
#include <string>

namespace gw {

// How the process shows the user what is not a log line: raised errors, and the message
// of a socket that has no error handler. The desktop shows boxes; the default (and the
// headless program) writes lines to standard error.
class TPresenter {
public:
  virtual ~TPresenter() = default;
  // An error raised by a handler: the error box, with ErrorBoxText(text).
  virtual void ShowError(const std::string& text) = 0;
  // A plain message box with one OK button and no icon.
  virtual void ShowMessage(const std::string& text) = 0;
};

// The presenter in use; the default writes to standard error.
TPresenter& Presenter();
// Installs `presenter` (not owned) until the returned guard is destroyed.
class TPresenterScope {
public:
  explicit TPresenterScope(TPresenter& presenter);
  ~TPresenterScope();
  TPresenterScope(const TPresenterScope&) = delete;
  TPresenterScope& operator=(const TPresenterScope&) = delete;

private:
  TPresenter* previous_;
};

// The error box's text: a final "." is added when the last character sorts after ".".
std::string ErrorBoxText(const std::string& text);

// Every callback from the event loop that can raise is entered through here: whatever
// escapes reaches the presenter, and the loop goes on with the next event.
template <typename F>
void RunGuarded(F&& f) noexcept {
  try {
    f();
  } catch (const std::exception& e) {
    Presenter().ShowError(e.what());
  } catch (...) {
    Presenter().ShowError("Unknown error");
  }
}

} // namespace gw
