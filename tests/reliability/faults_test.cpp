#include "config.h"
#include "repeatedLog.h"
#include "loopHarness.h"
#include "server.h"
#include "tempFolder.h"
#include "udpPeer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

namespace gw {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct TSettingsFaults : ::testing::Test {
  fs::path File() const { return Folder / "gatewarden.ini"; }

  test::TTestContext Context;
  test::TTempFolder Folder;
};

TEST_F(TSettingsFaults, AProcessKilledWhileSavingLeavesTheOldFileOrTheNewOne) {
  // Two states of a sizeable file, saved in turn as fast as possible by a child process that
  // is killed at a random moment, again and again.
  const auto fill = [](TConfig& config, char with) {
    config.Password = std::string(1500, with);
    for (int t = 0; t < config.Count(); ++t) config.Items(t).ServerHost = std::string(20, with) + ".example.org";
  };
  {
    TConfig config(Context, File());
    while (config.Count() < 60) {
      auto tunnel = config.CreateTunnel();
      tunnel->ListenPort = 7000 + 2 * config.Count();
      tunnel->ServerPort = 7777;
      config.Add(std::move(tunnel));
    }
    fill(config, 'b');
    config.Save();
  }
  const std::string second = test::TTempFolder::Read(File());
  {
    TConfig config(Context, File());
    fill(config, 'a');
    config.Save();
  }
  const std::string first = test::TTempFolder::Read(File());
  ASSERT_NE(first, second);

  std::mt19937 random(12345);
  for (int round = 0; round < 25; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      test::TTestContext own;
      for (int i = 0;; ++i) {
        TConfig config(own, File());
        fill(config, i % 2 ? 'a' : 'b');
        config.Save();
      }
    }
    ::usleep(static_cast<useconds_t>(1000 + random() % 20000));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    const std::string now = test::TTempFolder::Read(File());
    ASSERT_TRUE(now == first || now == second) << "round " << round << ": a mix of " << now.size() << " bytes";
  }
}

TEST_F(TSettingsFaults, GarbageGivesTheDefaultsAndIsLeftAlone) {
  std::string garbage;
  std::mt19937 random(7);
  for (int i = 0; i < 100000; ++i) garbage += static_cast<char>(random() % 256 == '[' ? 'x' : random() % 256);
  test::TTempFolder::Write(File(), garbage);
  const TConfig config(Context, File());
  EXPECT_EQ(config.Count(), 0);
  EXPECT_EQ(config.Port, 23817);
  EXPECT_EQ(config.Password, "moonbeam");
  EXPECT_EQ(test::TTempFolder::Read(File()), garbage);
}

TEST_F(TSettingsFaults, AHugeLineIsReadAsFarAsAValueGoes) {
  const std::string content = "[RemoteAdmin]\nPassword=" + std::string(10 << 20, 'p') + "\nPort=1234\n";
  test::TTempFolder::Write(File(), content);
  const TConfig config(Context, File());
  EXPECT_EQ(config.Password, std::string(2047, 'p'));
  EXPECT_EQ(config.Port, 1234);
  EXPECT_EQ(test::TTempFolder::Read(File()), content);
}

TEST_F(TSettingsFaults, BinaryBytesInATunnelEntryStopTheStartAndLeaveTheFileAlone) {
  const std::string content = std::string("[Tunnels]\nServer0=77\x01\xff\x80 h:1\n", 26) + "Server1=7777 h:7777\n";
  test::TTempFolder::Write(File(), content);
  EXPECT_THROW(TConfig(Context, File()), TSettingsError);
  EXPECT_EQ(test::TTempFolder::Read(File()), content);
}

// A tunnel in front of a server that cannot be reached keeps its clients' relays as trials,
// reports what it can once, and lets them go on time.
struct TUnreachableServer : ::testing::Test {
  // Sends until the client has its relay, a trial: the server's name is answered in the
  // background, and datagrams before the answer are dropped.
  void Start(const std::string& host, int port) {
    Tunnel.ListenPort = test::FreeUdpPortPair();
    Tunnel.ServerHost = host;
    Tunnel.ServerPort = port;
    Context.AddPortOption = false;
    Tunnel.Start();
    ASSERT_TRUE(Context.RunUntil([&] {
      Client.SendTo(static_cast<uint16_t>(Tunnel.ListenPort), "hello?");
      return Context.Admission().Trials() == 1;
    }));
  }
  void Send(int count) {
    for (int i = 0; i < count; ++i) Client.SendTo(static_cast<uint16_t>(Tunnel.ListenPort), "hello?");
    Context.RunFor(50ms);
  }
  void ExpectTrialEndedOnTime() {
    Context.ManualClock.Advance(TEngineLimits::kRelayIdleLimit + 1ms);
    Tunnel.SweepClients();
    EXPECT_EQ(Context.Admission().Trials(), 0u);
    EXPECT_EQ(Context.Log.back(), "Closed 1 connection that the server never answered on " + Tunnel.Describe());
  }
  void ExpectSweptOnTime() {
    EXPECT_EQ(Tunnel.ClientCount(), 1);
    Context.ManualClock.Advance(12s + 1ms);
    Tunnel.SweepClients();
    EXPECT_EQ(Tunnel.ClientCount(), 0);
    EXPECT_EQ(Context.LinesStartingWith("Closed connection from ").size(), 1u);
  }

  test::TTestContext Context;
  TServer Tunnel{Context};
  test::TUdpPeer Client;
};

TEST_F(TUnreachableServer, AHostThatDoesNotResolveIsReportedOnceAndThenCounted) {
  Start("no-such-host.invalid", 7777);
  Send(3);
  EXPECT_TRUE(Context.LinesStartingWith("Got connection from ").empty());
  // The relay tries the address again a second later, and the failure is counted.
  Context.ManualClock.Advance(1s);
  Send(1);
  Context.ManualClock.Advance(TRepeatedLog::kSummaryInterval);
  TRepeatedLog::FlushAll(Context.Now());
  EXPECT_EQ(Context.LinesStartingWith("WSA Error: "),
            (std::vector<std::string>{"WSA Error: Can't assign requested address [10049]",
                                      "WSA Error: Can't assign requested address [10049] (1 more)"}));
  ExpectTrialEndedOnTime();
}

TEST_F(TUnreachableServer, AServerThatIsDownLeavesTheRelayToExpireOrToBeAnsweredWhenItComesBack) {
  const int port = test::FreeUdpPortPair();
  Start("127.0.0.1", port);
  Send(3);
  EXPECT_FALSE(Client.TryReceive().has_value());
  EXPECT_TRUE(Context.LinesStartingWith("WSA Error: ").empty());

  // The refusals the system reported did not leave the relay deaf.
  test::TUdpPeer server(static_cast<uint16_t>(port));
  Context.ManualClock.Advance(1s);
  Send(1);
  const auto atServer = server.TryReceive();
  ASSERT_TRUE(atServer.has_value());
  server.SendTo(atServer->FromPort, "back");
  ASSERT_TRUE(Context.RunUntil([&] { return Client.TryReceive().has_value(); }));
  ExpectSweptOnTime();
}

} // namespace
} // namespace gw
