#include "presenter.h"

#include <cstdio>

namespace gw {

namespace {

class TStderrPresenter final : public TPresenter {
public:
  void ShowError(const std::string& text) override { Print(ErrorBoxText(text)); }
  void ShowMessage(const std::string& text) override { Print(text); }

private:
  static void Print(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
  }
};

TStderrPresenter gStderrPresenter;
TPresenter* gPresenter = &gStderrPresenter;

} // namespace

TPresenter& Presenter() { return *gPresenter; }

TPresenterScope::TPresenterScope(TPresenter& presenter) : previous_(gPresenter) {
  gPresenter = &presenter;
}

TPresenterScope::~TPresenterScope() { gPresenter = previous_; }

std::string ErrorBoxText(const std::string& text) {
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') return text + ".";
  return text;
}

} // namespace gw
