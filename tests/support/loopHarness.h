#pragma once

#include "context.h"

#include <uv.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace gw::test {

class TUdpPeer;

// A clock that moves only when the test says so.
class TManualClock final : public TClock {
public:
  TTime Now() const override { return now_; }
  void Advance(std::chrono::milliseconds step) { now_ += step; }

private:
  TTime now_ = TTime{} + std::chrono::hours(1000);
};

// A real libuv loop with injected time, a log that records its lines, and the one option.
class TTestContext final : public TEngineContext {
public:
  TTestContext();
  ~TTestContext() override;

  uv_loop_t* Loop() override { return &loop_; }
  const TClock& Clock() const override { return ManualClock; }
  void AddLog(const std::string& text) override { Log.push_back(text); }
  bool AddPort() const override { return AddPortOption; }
  TMasters* Masters() override { return MastersOption; }
  bool TrustsLoopback() const override { return false; }

  // Runs the loop until `done` holds or `limit` of real time has passed.
  bool RunUntil(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(3));
  // Runs the loop for a short while, for checks that something does not happen.
  void RunFor(std::chrono::milliseconds span);
  // Lines logged so far that start with `prefix`.
  std::vector<std::string> LinesStartingWith(const std::string& prefix) const;

  TManualClock ManualClock;
  std::vector<std::string> Log;
  bool AddPortOption = true;
  TMasters* MastersOption = nullptr;

private:
  uv_loop_t loop_{};
};

// The client keeps up an exchange with the server through the tunnel port `port`, as a
// player does, until the next `sweep` establishes its relay (the server answers each
// datagram).
void Establish(TTestContext& context, const TUdpPeer& client, uint16_t port, const TUdpPeer& server,
               const std::function<void()>& sweep);

} // namespace gw::test
