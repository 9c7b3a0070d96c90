#pragma once

#include <stdexcept>
#include <string>

namespace gw {

// A raised socket failure of the remote-control listener:
// "Windows socket error: Address already in use (10048), on API 'bind'".
class TSocketError : public std::runtime_error {
public:
  TSocketError(int code, const std::string& api);
};

} // namespace gw
