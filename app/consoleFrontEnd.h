#pragma once

#include "frontEnd.h"
#include "remoteListener.h"

namespace gw {

// The headless program's face: every log line goes to standard output at once, prefixed
// with the local date and time; there is no caption and no tunnel list to refresh.
class TConsoleFrontEnd final : public TFrontEnd {
public:
  explicit TConsoleFrontEnd(uv_loop_t* loop) : listener_(loop) {}

  void AppendLog(const std::string& line) override;
  void RefreshTunnelList() override {}
  void SetCaption(const std::string&) override {}
  TRemoteListener& RemoteListener() override { return listener_; }

private:
  TRemoteListener listener_;
};

} // namespace gw
