#include "consoleFrontEnd.h"

#include "textUtil.h"

#include <unistd.h>

namespace gw {

namespace {

// How the relay's failure lines begin; TRepeatedLog's counted repeats begin the same way.
constexpr std::string_view kWarnings[] = {
    "WSA Error",     "Error",         "Refused ",       "Bad password", "Remote control locked out",
    "Remote control cannot", "Got error from remote control", "Fast path off", "Warning:",
    "Metrics endpoint cannot", "Master ", "No heartbeats for ",
};

} // namespace

TConsoleFrontEnd::TConsoleFrontEnd(uv_loop_t* loop)
    : outPriority_(IsJournalStream(STDOUT_FILENO)), errPriority_(IsJournalStream(STDERR_FILENO)),
      out_(loop, STDOUT_FILENO, !outPriority_), err_(loop, STDERR_FILENO, false), listener_(loop) {
  out_.OnFailure = [this](const std::string& reason) {
    ShowMessage("gatewarden-headless: standard output failed (" + reason + "); log lines are dropped from now on");
  };
}

void TConsoleFrontEnd::ShowMessage(const std::string& text) {
  ForEachLine(text, [this](std::string_view line) {
    err_.WriteLine(errPriority_ ? kErrorPriority + std::string(line) : std::string(line));
  });
}

std::string TConsoleFrontEnd::JournalPriority(std::string_view line) {
  for (const std::string_view start : kWarnings)
    if (line.starts_with(start)) return kWarningPriority;
  return kInfoPriority;
}

} // namespace gw
