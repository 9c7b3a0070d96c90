#include "core.h"
#include "frontEnd.h"
#include "guessGuard.h"
#include "loopHarness.h"
#include "recordingPresenter.h"
#include "remoteListener.h"
#include "remotecontrol.h"
#include "tcpPeer.h"
#include "tempFolder.h"
#include "udpPeer.h"

#include <algorithm>

#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/socket.h>

namespace gw {
namespace {

using namespace std::chrono_literals;
using test::TTcpPeer;

// Counts lines instead of keeping them, and notes any that would not read as one short line.
class TQuietFrontEnd final : public TFrontEnd {
public:
  explicit TQuietFrontEnd(uv_loop_t* loop) : listener_(loop) {}
  void AppendLog(const std::string& line) override {
    ++Lines;
    BadPasswords += line.rfind("Bad password", 0) == 0;
    LockedOut += line.rfind("Remote control locked out", 0) == 0;
    Accepted += line == "Got remote control connection";
    Longest = std::max(Longest, line.size());
    for (const char c : line) ControlBytes += static_cast<unsigned char>(c) < 32;
  }
  void RefreshTunnelList() override {}
  void SetCaption(const std::string&) override {}
  TRemoteListener& RemoteListener() override { return listener_; }
  int Lines = 0;
  int BadPasswords = 0;
  int LockedOut = 0;
  int Accepted = 0;
  std::size_t Longest = 0;
  int ControlBytes = 0;

private:
  TRemoteListener listener_;
};

struct TRemoteFloodFixture : ::testing::Test {
  TRemoteFloodFixture() {
    const int from = test::FreeUdpPortPair();
    test::TTempFolder::Write(Folder / "gatewarden.ini", "[RemoteAdmin]\nPort=" + std::to_string(test::FreeTcpPort()) +
                                                            "\nFromPort=" + std::to_string(from) +
                                                            "\nToPort=" + std::to_string(from + 100) + "\n");
    Core = std::make_unique<TCore>(Context.Loop(), Folder / "gatewarden.ini", Context.ManualClock);
    Core->Attach(FrontEnd);
    Core->StartUp();
    Port = static_cast<uint16_t>(FrontEnd.RemoteListener().LocalPort());
  }

  // A well-formed request on a fresh connection from `from` still gets its tunnel.
  bool StillAnswers(uint32_t from = 0x7F000001) {
    TTcpPeer peer(Port, from);
    peer.Send("create|moonbeam|127.0.0.1:7777");
    std::string reply;
    const bool answered = Context.RunUntil([&] { return (reply += peer.TryReceive()).find("tunnel|") == 0; });
    if (!answered) ADD_FAILURE() << "reply: " << reply;
    return answered;
  }

  test::TTestContext Context;
  test::TTempFolder Folder;
  test::TRecordingPresenter Presenter;
  TQuietFrontEnd FrontEnd{Context.Loop()};
  std::unique_ptr<TCore> Core;
  uint16_t Port = 0;
};

TEST_F(TRemoteFloodFixture, SilentStrangersMakeRoomByNetworkAndStayWhileNobodyNeedsTheirSlot) {
  const TRemoteListener& listener = FrontEnd.RemoteListener();
  // An administrator's tool that keeps its connection open.
  TTcpPeer tool(Port, 0x7F00FE01);
  tool.Send("create|moonbeam|10.0.0.5");
  std::string created;
  ASSERT_TRUE(Context.RunUntil([&] { return (created += tool.TryReceive()).starts_with("tunnel|"); }));
  std::vector<std::unique_ptr<TTcpPeer>> idle;
  const auto crowd = [&](int count, uint32_t from) {
    for (int i = 0; i < count; ++i) {
      idle.push_back(std::make_unique<TTcpPeer>(Port, from));
      if (i % 4 == 3 || i + 1 == count) uv_run(Context.Loop(), UV_RUN_NOWAIT);  // keep the backlog of 5 moving
    }
  };
  const auto open = [&](std::size_t first, std::size_t last) {
    return std::count_if(idle.begin() + first, idle.begin() + last, [](const auto& peer) { return !peer->SeesEnd(); });
  };
  // One address takes every free slot, then churns its own.
  crowd(1000, 0x7F000001);
  ASSERT_TRUE(Context.RunUntil([&] { return open(0, 1000) == 31; }, 10s));
  // Strangers from 40 other networks take the slots of the network that holds the most.
  for (uint32_t network = 2; network < 2 + 40; ++network) crowd(1, 0x7F000001 + (network << 8));
  ASSERT_TRUE(Context.RunUntil([&] { return open(0, 1000) == 0 && open(1000, 1040) == 31; }, 10s));
  // The crowd's address comes back: once it holds the most slots, it takes its own; so it
  // keeps two (one beside each other network's one, and its newcomer).
  crowd(200, 0x7F000001);
  ASSERT_TRUE(Context.RunUntil([&] { return open(1040, 1240) == 2 && open(1000, 1040) == 29; }, 10s));
  EXPECT_EQ(listener.ConnectionCount(), TRemoteLimits::kMaxConnections);
  EXPECT_EQ(FrontEnd.Accepted, TRemoteLimits::kLinesInAll) << "strangers' connections are written a few a minute";
  EXPECT_TRUE(StillAnswers(0x7F00FF01)) << "a newcomer finds room";

  // The newcomer left, so a slot is free: silence alone closes nothing, strangers' or the tool's.
  ASSERT_TRUE(Context.RunUntil([&] { return listener.ConnectionCount() == TRemoteLimits::kMaxConnections - 1; }));
  Context.ManualClock.Advance(TRemoteLimits::kFirstMessageTurn * 60);
  Core->Manager().Sweep();
  Context.RunFor(50ms);
  EXPECT_EQ(listener.ConnectionCount(), TRemoteLimits::kMaxConnections - 1);
  EXPECT_FALSE(tool.SeesEnd());
  // Besides the crowd's few lines, each of the two tunnels made is told in two.
  EXPECT_LT(FrontEnd.Lines, 42);
}

TEST_F(TRemoteFloodFixture, WrongPasswordsOfAllAddressesShareOneBudget) {
  EXPECT_TRUE(StillAnswers());  // 127.0.0.1 is known from now on
  std::vector<std::unique_ptr<TTcpPeer>> guessers;
  std::vector<std::string> replies(TRemoteLimits::kMaxConnections);
  for (uint32_t network = 1; network <= replies.size(); ++network) {
    guessers.push_back(std::make_unique<TTcpPeer>(Port, 0x7F000001 + (network << 8)));
    guessers.back()->Send("create|guess|h");
    uv_run(Context.Loop(), UV_RUN_NOWAIT);
  }
  const auto answered = [&] {
    for (std::size_t i = 0; i < replies.size(); ++i) replies[i] += guessers[i]->TryReceive();
    return std::count_if(replies.begin(), replies.end(), [](const auto& r) { return !r.empty(); });
  };
  Context.RunFor(300ms);
  EXPECT_EQ(answered(), TRemoteLimits::kGuessBurst);
  // Each keeps a guess waiting for its address's turn, as a crowd holding every slot would.
  for (const auto& guesser : guessers) guesser->Send("create|again|h");
  Context.RunFor(50ms);
  // A stranger with the password, from an address never seen, gets in and waits its turn;
  // the known address is not held up by the crowd.
  TTcpPeer stranger(Port, 0x7F00FF01);
  stranger.Send("create|moonbeam|10.0.0.5");
  Context.RunFor(100ms);
  EXPECT_EQ(stranger.TryReceive(), "");
  EXPECT_TRUE(StillAnswers());
  Context.ManualClock.Advance(TRemoteLimits::kGuessInterval * 8);
  std::string reply;
  EXPECT_TRUE(Context.RunUntil([&] { return (reply += stranger.TryReceive()).starts_with("tunnel|"); }));
  EXPECT_EQ(answered(), TRemoteLimits::kMaxConnections);
}

TEST_F(TRemoteFloodFixture, GarbageAndVanishingPeersMakeNoTunnel) {
  const std::size_t heapBefore = mallinfo2().uordblks;
  {
    // From 127.0.0.3, which the garbage gets locked out; the others are served meanwhile.
    TTcpPeer garbage(Port, 0x7F000003);
    std::string junk(1 << 20, '\0');
    for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>((i * 131) ^ (i >> 7));
    std::size_t sent = 0;
    // Sent as fast as the service takes it, never blocking the test's own loop, with the
    // clock moving on so that each guess is read as soon as it may be.
    ASSERT_TRUE(Context.RunUntil([&] {
      Context.ManualClock.Advance(TRemoteLimits::kLongestWait / 8);
      const ssize_t n = ::send(garbage.Fd(), junk.data() + sent, junk.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<std::size_t>(n);
      return sent == junk.size() || (n < 0 && (errno == EPIPE || errno == ECONNRESET));
    }, 20s));

    TTcpPeer everyByte(Port, 0x7F000004);
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    everyByte.Send(bytes);

    // Peers that vanish: one resets its connection, one closes in the middle of a request.
    TTcpPeer reset(Port, 0x7F000005);
    reset.Send("create|moon");
    reset.Reset();
    TTcpPeer halfway(Port, 0x7F000006);
    halfway.Send("create|moonbeam|10.0");
    halfway.Close();
    Context.RunFor(200ms);
    EXPECT_TRUE(StillAnswers());
  }
  // Connections that wait for their address's turn see that their peers left once it comes.
  Context.ManualClock.Advance(TRemoteLimits::kLongestWait);
  ASSERT_TRUE(Context.RunUntil([&] { return FrontEnd.RemoteListener().ConnectionCount() == 0; }, 10s));
  EXPECT_GT(FrontEnd.BadPasswords, 0);
  EXPECT_LE(FrontEnd.BadPasswords, 3 * 3) << "three lines a minute for each of three addresses";
  EXPECT_LT(FrontEnd.Longest, 4096u);
  EXPECT_EQ(FrontEnd.ControlBytes, 0);
  // Only the well-formed request made a tunnel; "create|moonbeam|10.0" was cut short by its
  // peer, but its password was right, so it made one too.
  EXPECT_LE(Core->Manager().TemporaryCount(), 2);
  for (const auto& tunnel : Core->Manager().Temporaries())
    EXPECT_TRUE(tunnel->ServerHost == "127.0.0.1" || tunnel->ServerHost == "10.0") << tunnel->ServerHost;
  const auto heapAfter = static_cast<long>(mallinfo2().uordblks);
  RecordProperty("heap_growth_bytes", std::to_string(heapAfter - static_cast<long>(heapBefore)));
  EXPECT_LT(heapAfter, static_cast<long>(heapBefore) + 256 * 1024) << "memory kept after the peers left";
}

} // namespace
} // namespace gw
