#pragma once

#include "consoleOutput.h"
#include "frontEnd.h"
#include "presenter.h"
#include "remoteListener.h"

namespace gw {

// The headless program's face: log lines go to standard output, prefixed with the local
// date and time unless the journal reads them (it stamps them itself); errors that the
// desktop would show in a box go to standard error as one line. Neither output ever makes
// the loop wait. There is no caption and no tunnel list to refresh.
class TConsoleFrontEnd final : public TFrontEnd, public TPresenter {
public:
  explicit TConsoleFrontEnd(uv_loop_t* loop);

  void AppendLog(const std::string& line) override { out_.WriteLine(line); }
  void RefreshTunnelList() override {}
  void SetCaption(const std::string&) override {}
  TRemoteListener& RemoteListener() override { return listener_; }

  void ShowError(const std::string& text) override { err_.WriteLine(ErrorBoxText(text)); }
  void ShowMessage(const std::string& text) override { err_.WriteLine(text); }

  // Both outputs have written everything they hold.
  bool Idle() const { return out_.Idle() && err_.Idle(); }

private:
  TConsoleOutput out_;
  TConsoleOutput err_;
  TRemoteListener listener_;
};

} // namespace gw
