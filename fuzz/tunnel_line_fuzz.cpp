// Input: one tunnel line, as the settings file holds it after "ServerN=".
#include "fuzzInput.h"
#include "fuzzTargets.h"
#include "iniText.h"
#include "intConv.h"
#include "server.h"
#include "tunnelLine.h"

#include <uv.h>

#include <stdexcept>
#include <string>

namespace gw::fuzz {

namespace {

// Tunnels need a context to exist; reading and writing their line opens nothing, so a
// loop that never runs is enough. Log lines are counted, since reading a line logs none.
class TIdleContext final : public TEngineContext {
public:
  TIdleContext() {
    if (uv_loop_init(&loop_) != 0) throw std::runtime_error("uv_loop_init failed");
  }
  ~TIdleContext() override { uv_loop_close(&loop_); }
  TIdleContext(const TIdleContext&) = delete;
  TIdleContext& operator=(const TIdleContext&) = delete;

  uv_loop_t* Loop() override { return &loop_; }
  const TClock& Clock() const override { return clock_; }
  void AddLog(const std::string&) override { ++LogLines; }
  bool AddPort() const override { return true; }

  int LogLines = 0;

private:
  uv_loop_t loop_{};
  TSteadyClock clock_;
};

TIdleContext& Context() {
  static TIdleContext context;
  return context;
}

} // namespace

void TunnelLine(const uint8_t* data, std::size_t size) {
  TIdleContext& context = Context();
  const int logLinesBefore = context.LogLines;

  TServer parsed(context);
  try {
    ParseTunnelLine(parsed, AsText(data, size));
  } catch (const TConversionError&) {
    Require(context.LogLines == logLinesBefore, "reading a tunnel line logged");
    return;
  }
  Require(parsed.ServerHost.find(':') == std::string::npos, "a host read from a line holds ':'");

  // What the settings file stores must read back as the same tunnel. The file holds values
  // of at most 2047 characters, and the tunnel dialog keeps hosts far shorter, so longer
  // lines, which the reader cuts, never get there.
  const std::string line = gw::TunnelLine(parsed);
  if (line.size() > TIniText::kMaxValueLength) return;
  TServer reread(context);
  try {
    ParseTunnelLine(reread, line);
  } catch (const TConversionError&) {
    Require(false, "a written tunnel line does not read back");
  }
  Require(reread.ListenPort == parsed.ListenPort, "the listen port changed on writing and reading back");
  Require(reread.ServerHost == parsed.ServerHost, "the host changed on writing and reading back");
  Require(reread.ServerPort == parsed.ServerPort, "the server port changed on writing and reading back");
  Require(context.LogLines == logLinesBefore, "reading a tunnel line logged");
}

} // namespace gw::fuzz
