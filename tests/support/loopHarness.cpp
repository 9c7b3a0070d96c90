#include "loopHarness.h"

#include "admission.h"
#include "udpPeer.h"

#include <gtest/gtest.h>
#include <poll.h>

namespace gw::test {

TTestContext::TTestContext() { uv_loop_init(&loop_); }

TTestContext::~TTestContext() {
  // Handles released by the test close on the next loop turns, and a name lookup let go
  // by its tunnel ends on a worker thread and then on the loop.
  RunUntil([&] { return !uv_loop_alive(&loop_); }, std::chrono::seconds(5));
  EXPECT_EQ(uv_loop_close(&loop_), 0) << "a libuv handle outlived its owner";
}

bool TTestContext::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    uv_run(&loop_, UV_RUN_NOWAIT);
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pollfd backend{uv_backend_fd(&loop_), POLLIN, 0};
    ::poll(&backend, 1, 2);
  }
}

void TTestContext::RunFor(std::chrono::milliseconds span) {
  RunUntil([] { return false; }, span);
}

std::vector<std::string> TTestContext::LinesStartingWith(const std::string& prefix) const {
  std::vector<std::string> lines;
  for (const auto& line : Log)
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  return lines;
}

void Establish(TTestContext& context, const TUdpPeer& client, uint16_t port, const TUdpPeer& server,
               const std::function<void()>& sweep) {
  for (uint64_t i = 0; i < TAdmissionLimits::kEstablishClientDatagrams + 1; ++i) {
    client.SendTo(port, "play " + std::to_string(i));
    std::optional<TReceived> got;
    ASSERT_TRUE(context.RunUntil([&] { return (got = server.TryReceive()).has_value(); }));
    server.SendTo(got->FromPort, "state " + std::to_string(i));
    ASSERT_TRUE(context.RunUntil([&] { return client.TryReceive().has_value(); }));
    // Game trials forward a few datagrams a second until the server's answer.
    if (i == 0) context.ManualClock.Advance(std::chrono::milliseconds(10));
  }
  context.ManualClock.Advance(TAdmissionLimits::kEstablishAfter);
  sweep();
}

} // namespace gw::test
