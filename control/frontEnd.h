#pragma once

#include <string>

namespace gw {

class TRemoteListener;

// What the control layer needs of the program's face: the desktop window or the headless
// console. It is the tunnel manager's only way out.
class TFrontEnd {
public:
  virtual ~TFrontEnd() = default;

  // One new line at the end of the log.
  virtual void AppendLog(const std::string& line) = 0;
  // The tunnel list and its connection counts are to be shown anew.
  virtual void RefreshTunnelList() = 0;
  virtual void SetCaption(const std::string& caption) = 0;
  // The remote-control listener that this front end hosts.
  virtual TRemoteListener& RemoteListener() = 0;
};

} // namespace gw
