#pragma once

#include "server.h"

#include <string>
#include <string_view>

// The text form of one tunnel, as the settings file stores it: "7777 10.0.0.5:7778",
// listen port, one blank, server host, ":", server port. Read, any run of blanks and tabs
// separates the port from the host.
namespace gw {

// Sets ListenPort, ServerHost and ServerPort in that order; a port that does not convert
// raises TConversionError, leaving the fields before it already set.
void ParseTunnelLine(TServer& tunnel, std::string_view text);

// The host is written as it stands; one holding a blank or ":" does not read back the same,
// which is why the tunnel dialog refuses a host with ":".
std::string TunnelLine(const TServer& tunnel);

} // namespace gw
