#include "consoleFrontEnd.h"

#include <unistd.h>

namespace gw {

TConsoleFrontEnd::TConsoleFrontEnd(uv_loop_t* loop)
    : out_(loop, STDOUT_FILENO, !IsJournalStream(STDOUT_FILENO)), err_(loop, STDERR_FILENO, false), listener_(loop) {
  out_.OnFailure = [this](const std::string& reason) {
    err_.WriteLine("gatewarden-headless: standard output failed (" + reason + "); log lines are dropped from now on");
  };
}

} // namespace gw
