#include "core.h"
#include "frontEnd.h"
#include "loopHarness.h"
#include "loopback.h"
#include "remoteListener.h"
#include "server.h"
#include "tempFolder.h"
#include "udpPeer.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/resource.h>

namespace gw {
namespace {

using namespace std::chrono_literals;
using test::TUdpPeer;

// Counts log lines by their beginning instead of keeping tens of thousands of them.
class TCountingFrontEnd final : public TFrontEnd {
public:
  explicit TCountingFrontEnd(uv_loop_t* loop) : listener_(loop) {}
  void AppendLog(const std::string& line) override {
    for (const char* prefix : {"Got connection from ", "Closed connection from ", "WSA Error: Too many open files",
                               "Closed ", "Refused "})
      if (line.rfind(prefix, 0) == 0) ++Counts[prefix];
  }
  void RefreshTunnelList() override {}
  void SetCaption(const std::string&) override {}
  TRemoteListener& RemoteListener() override { return listener_; }
  std::map<std::string, int> Counts;

private:
  TRemoteListener listener_;
};

int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir)) ++count;
    ::closedir(dir);
  }
  return count;
}

// One socket that sends from any address of 127.0.0.0/8 it is told to, as a flood of
// distinct clients would arrive.
class TSpoofingSender {
public:
  TSpoofingSender() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  void Send(uint32_t source, uint16_t port, std::string_view data) const {
    sockaddr_in to = test::Loopback(port);
    iovec iov{const_cast<char*>(data.data()), data.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message{};
    message.msg_name = &to;
    message.msg_namelen = sizeof to;
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = IPPROTO_IP;
    header->cmsg_type = IP_PKTINFO;
    header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    auto* info = reinterpret_cast<in_pktinfo*>(CMSG_DATA(header));
    info->ipi_spec_dst.s_addr = source;
    ::sendmsg(fd_.Get(), &message, 0);
  }

private:
  TFd fd_;
};

// A lower descriptor limit for as long as it lives.
class TDescriptorLimit {
public:
  explicit TDescriptorLimit(rlim_t soft) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = soft;
    ::setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~TDescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

private:
  rlimit saved_{};
};

// A tunnel of its own on free ports, to `server`.
void StartTunnel(TServer& tunnel, const TUdpPeer& server) {
  tunnel.ListenPort = test::FreeUdpPortPair();
  tunnel.ServerHost = "127.0.0.1";
  tunnel.ServerPort = server.Port();
  tunnel.Start();
}

TEST(Flood, TwentyThousandSourcesNeitherStopTheRelayNorTakeTheLastDescriptorsNorKeepANewcomerOut) {
  test::TTestContext context;
  test::TTempFolder folder;
  TUdpPeer server;
  const int port = test::FreeUdpPortPair();
  test::TTempFolder::Write(folder / "gatewarden.ini", "[RemoteAdmin]\nTemporary=0\n[Tunnels]\nServer0=" +
                                                          std::to_string(port) + " 127.0.0.1:" +
                                                          std::to_string(server.Port()) + "\n");
  TCountingFrontEnd frontEnd(context.Loop());
  TCore core(context.Loop(), folder / "gatewarden.ini", context.ManualClock);
  core.Attach(frontEnd);
  core.StartUp();
  const auto tunnelPort = static_cast<uint16_t>(port);

  // Three players who were there before the flood, answered by the server throughout.
  std::vector<std::unique_ptr<TUdpPeer>> players;
  for (int i = 0; i < 3; ++i) players.push_back(std::make_unique<TUdpPeer>());
  // Each player's move is answered. The flood fills the server's queue as well, so a move
  // that the kernel drops there is sent again, as a game client does.
  const auto playersServed = [&] {
    std::vector<bool> answered(players.size(), false);
    int turn = 0;
    return context.RunUntil([&] {
      if (turn++ % 20 == 0)
        for (std::size_t i = 0; i < players.size(); ++i)
          if (!answered[i]) players[i]->SendTo(tunnelPort, "move");
      while (const auto got = server.TryReceive())
        if (got->Data == "move") server.SendTo(got->FromPort, "ok");
      for (std::size_t i = 0; i < players.size(); ++i)
        while (const auto reply = players[i]->TryReceive()) answered[i] = answered[i] || reply->Data == "ok";
      return std::all_of(answered.begin(), answered.end(), [](bool a) { return a; });
    });
  };
  ASSERT_TRUE(playersServed());

  TSpoofingSender flood;
  auto late = std::make_unique<TUdpPeer>();
  const int descriptorsBefore = OpenDescriptors();
  const std::size_t heapBefore = mallinfo2().uordblks;
  {
    // Room for fewer relays than the trials made at once: the rest of the flood finds no
    // descriptor.
    constexpr int kRoom = TAdmissionLimits::kFirstComersAtOnce / 2;
    TDescriptorLimit limit(static_cast<rlim_t>(descriptorsBefore + kRoom));
    constexpr int kSources = 20000;
    for (int i = 0; i < kSources; ++i) {
      const uint32_t source = htonl((127u << 24) | (1u << 16) | static_cast<uint32_t>(i + 1));
      flood.Send(source, tunnelPort, "flood");
      if (i % 64 == 63) uv_run(context.Loop(), UV_RUN_NOWAIT);
      if (i % 2000 == 1999) {
        ASSERT_TRUE(playersServed()) << "after " << i + 1 << " sources";
      }
    }
    context.RunFor(50ms);
    while (server.TryReceive()) {
    }
    // The forged sources' trials made room for one another within the limit, keeping its
    // reserve: none refused for descriptors, no line per source. Past the trials the pace
    // grants at once, the rest of the flood was turned away, told in one line.
    const TTunnelCounts& counts = core.Config().Items(0).Counts();
    EXPECT_EQ(frontEnd.Counts["Got connection from "], 3);
    EXPECT_LT(OpenDescriptors(), descriptorsBefore + kRoom - TudpSocket::kDescriptorReserve / 2);
    EXPECT_EQ(frontEnd.Counts["WSA Error: Too many open files"], 0);
    EXPECT_EQ(counts.Refused[TRefusal::NoRoom], 0u);
    EXPECT_EQ(counts.Refused[TRefusal::TrialPace] + counts.TrialsMade, 20000u + 3);
    EXPECT_EQ(frontEnd.Counts["Refused "], 1);
    EXPECT_LE(frontEnd.Counts["Closed "], 1);
    EXPECT_GT(core.Admission().Trials(), kRoom - 2u * TudpSocket::kDescriptorReserve) << "the descriptors were not short";
    // A player who comes while the descriptors are short and the pace is spent is turned
    // away at first, and served when it sends again a moment later.
    late->SendTo(tunnelPort, "move");
    context.RunFor(10ms);
    EXPECT_EQ(counts.Refused[TRefusal::TrialPace] + counts.TrialsMade, 20000u + 3 + 1);
    context.ManualClock.Advance(TAdmissionLimits::kComesBackAfter);
    players.push_back(std::move(late));
    ASSERT_TRUE(playersServed());
    EXPECT_EQ(core.Config().Items(0).ClientCount(), 4);
  }

  // The trials go at the sweep after their short life, told as one count.
  context.ManualClock.Advance(TAdmissionLimits::kTrialLifetime + 1ms);
  core.Manager().Sweep();
  context.RunFor(10ms);
  EXPECT_EQ(core.Admission().Trials(), 0u);
  EXPECT_EQ(frontEnd.Counts["Closed connection from "], 0);
  EXPECT_LE(frontEnd.Counts["Closed "], 2);
  EXPECT_EQ(OpenDescriptors(), descriptorsBefore + 1);
  const auto heapAfter = static_cast<long>(mallinfo2().uordblks);
  RecordProperty("heap_growth_bytes", std::to_string(heapAfter - static_cast<long>(heapBefore)));
  EXPECT_LT(heapAfter, static_cast<long>(heapBefore) + 512 * 1024) << "memory kept after the sweep";
  ASSERT_TRUE(playersServed());
}

// A server that answers anyone turns every forged source into an answered relay. Those make
// room for one another and for newcomers when the descriptors run short, are told in a
// bounded number of lines, and never take an established player's relay.
TEST(Flood, SourcesTheServerAnswersMakeRoomAndLeaveTheEstablishedPlayersAlone) {
  test::TTestContext context;
  context.AddPortOption = false;
  TUdpPeer server;
  TServer tunnel(context);
  StartTunnel(tunnel, server);
  const auto tunnelPort = static_cast<uint16_t>(tunnel.ListenPort);
  std::vector<std::unique_ptr<TUdpPeer>> players;
  std::vector<uint16_t> upstreams;
  for (int i = 0; i < 3; ++i) {
    players.push_back(std::make_unique<TUdpPeer>());
    test::Establish(context, *players.back(), tunnelPort, server, [&] { tunnel.SweepClients(); });
  }
  const auto answerAll = [&] {
    while (const auto got = server.TryReceive()) server.SendTo(got->FromPort, got->Data);
  };
  const auto playersServed = [&] {
    std::vector<uint16_t> seenFrom;
    for (const auto& player : players) {
      player->SendTo(tunnelPort, "move");
      std::optional<test::TReceived> reply;
      if (!context.RunUntil([&] {
            while (const auto got = server.TryReceive()) {
              if (got->Data == "move") seenFrom.push_back(got->FromPort);
              server.SendTo(got->FromPort, got->Data);
            }
            return (reply = player->TryReceive()).has_value();
          }))
        return std::vector<uint16_t>{};
    }
    return seenFrom;
  };
  const std::vector<uint16_t> before = playersServed();
  ASSERT_EQ(before.size(), players.size());
  const std::size_t linesBefore = context.Log.size();

  TSpoofingSender flood;
  const int descriptorsBefore = OpenDescriptors();
  {
    constexpr int kRoom = 300;
    TDescriptorLimit limit(static_cast<rlim_t>(descriptorsBefore + kRoom));
    for (int i = 0; i < 5000; ++i) {
      flood.Send(htonl((127u << 24) | (2u << 16) | static_cast<uint32_t>(i + 1)), tunnelPort, "hello");
      if (i % 64 == 63) {
        context.ManualClock.Advance(1ms);
        uv_run(context.Loop(), UV_RUN_NOWAIT);
        answerAll();
        uv_run(context.Loop(), UV_RUN_NOWAIT);
      }
    }
    context.RunFor(50ms);
    answerAll();
    context.RunFor(50ms);
    const TTunnelCounts& counts = tunnel.Counts();
    // No answered relay goes but to make room (none has been idle): those gone made it.
    EXPECT_GT(counts.RelaysAnswered - static_cast<uint64_t>(tunnel.ClientCount()), 100u)
        << "answered relays did not make room";
    EXPECT_EQ(counts.Refused[TRefusal::NoRoom], 0u);
    EXPECT_EQ(playersServed(), before) << "an established player lost its relay";
  }
  EXPECT_LT(context.Log.size() - linesBefore,
            static_cast<std::size_t>(TAdmissionLimits::kLinesBurstPerTunnel + 10));
}

// More relays than the sweep looks at in one turn: it goes on over the next turns, past a
// relay that made room in the meantime, and every silent relay ends.
TEST(Flood, ASweepLongerThanATurnGoesOnUntilEveryIdleRelayEnds) {
  constexpr int kRelays = static_cast<int>(TEngineLimits::kRelaysPerSweepTurn) + 100;
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  const auto needed = static_cast<rlim_t>(OpenDescriptors() + kRelays + 2 * TudpSocket::kDescriptorReserve);
  if (limit.rlim_max < needed) GTEST_SKIP() << "needs " << needed << " descriptors";
  TDescriptorLimit raised(std::max(limit.rlim_cur, needed));
  test::TTestContext context;
  context.AddPortOption = false;
  TUdpPeer server;
  TServer tunnel(context);
  StartTunnel(tunnel, server);
  TSpoofingSender clients;
  for (int i = 0; i < kRelays; ++i) {
    clients.Send(htonl((127u << 24) | (3u << 16) | static_cast<uint32_t>(i + 1)),
                 static_cast<uint16_t>(tunnel.ListenPort), "hello");
    // Within the pace of new trials.
    if (i % 2 == 1) context.ManualClock.Advance(1ms);
    if (i % 64 == 63 || i == kRelays - 1) {
      context.RunFor(5ms);
      while (const auto got = server.TryReceive()) server.SendTo(got->FromPort, got->Data);
      context.RunFor(5ms);
    }
  }
  ASSERT_TRUE(context.RunUntil([&] { return tunnel.ClientCount() == kRelays; })) << tunnel.ClientCount();

  context.ManualClock.Advance(TEngineLimits::kRelayIdleLimit + 1s);
  tunnel.SweepClients();
  EXPECT_EQ(tunnel.ClientCount(), kRelays - static_cast<int>(TEngineLimits::kRelaysPerSweepTurn));
  // The least active relay left is the next the sweep would look at.
  ASSERT_TRUE(context.Admission().MakeRoom());
  EXPECT_TRUE(context.RunUntil([&] { return tunnel.ClientCount() == 0; })) << tunnel.ClientCount();
}

} // namespace
} // namespace gw
