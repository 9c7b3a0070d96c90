#pragma once

#include "consoleOutput.h"
#include "frontEnd.h"
#include "presenter.h"
#include "remoteListener.h"

#include <string>
#include <string_view>

namespace gw {

// The headless program's face: log lines go to standard output, prefixed with the local
// date and time unless the journal reads them (it stamps them itself, and reads the
// priority each line begins with, see JournalPriority); errors that the desktop would show
// in a box go to standard error as one line. Neither output ever makes the loop wait.
// There is no caption and no tunnel list to refresh.
class TConsoleFrontEnd final : public TFrontEnd, public TPresenter {
public:
  explicit TConsoleFrontEnd(uv_loop_t* loop);

  void AppendLog(const std::string& line) override { out_.WriteLine(outPriority_ ? JournalPriority(line) + line : line); }
  void RefreshTunnelList() override {}
  void SetCaption(const std::string&) override {}
  TRemoteListener& RemoteListener() override { return listener_; }

  void ShowError(const std::string& text) override { ShowMessage(ErrorBoxText(text)); }
  // Every message is a failure: the relay could not do what it was asked. Each of its lines
  // carries the priority, since the journal reads it line by line.
  void ShowMessage(const std::string& text) override;

  // Both outputs have written everything they hold.
  bool Idle() const { return out_.Idle() && err_.Idle(); }

  // sd-daemon(3)'s prefixes.
  static constexpr const char* kErrorPriority = "<3>";
  static constexpr const char* kWarningPriority = "<4>";
  static constexpr const char* kInfoPriority = "<6>";
  // A log line that tells of a failure (a socket error, a refused client or request, a
  // guessed password, a fast path off, a port of the metrics or the remote control that
  // cannot be listened on, a master that cannot be looked up or reached, a game server that
  // does not answer queries) is a warning; the rest is news.
  static std::string JournalPriority(std::string_view line);

private:
  bool outPriority_;
  bool errPriority_;
  TConsoleOutput out_;
  TConsoleOutput err_;
  TRemoteListener listener_;
};

} // namespace gw
