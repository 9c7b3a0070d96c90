#include "socketError.h"

#include "socketErrors.h"

namespace gw {

TSocketError::TSocketError(int code, const std::string& api)
    : std::runtime_error(std::string("Windows socket error: ") + ErrorText(code) + " (" + std::to_string(code) +
                         "), on API '" + api + "'") {}

} // namespace gw
