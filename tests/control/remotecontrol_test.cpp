#include "coreFixture.h"
#include "intConv.h"
#include "recordingPresenter.h"
#include "remotecontrol.h"
#include "tcpPeer.h"
#include "udpPeer.h"

#include <gtest/gtest.h>

namespace gw {
namespace {

using namespace std::chrono_literals;
using test::TTcpPeer;

TEST(RemoteMessage, IsLoweredTrimmedAndCutAtTheBars) {
  const TRemoteRequest request = ParseRemoteMessage("  CREATE|MoonBeam|Game://10.0.0.6|more|x\r\n");
  EXPECT_EQ(request.Command, "create");
  EXPECT_EQ(request.Password, "moonbeam");
  EXPECT_EQ(request.Argument, "game://10.0.0.6");

  const TRemoteRequest spaced = ParseRemoteMessage("create| moonbeam |x");
  EXPECT_EQ(spaced.Password, " moonbeam ");

  const TRemoteRequest bare = ParseRemoteMessage("create");
  EXPECT_EQ(bare.Command, "create");
  EXPECT_EQ(bare.Password, "");
  EXPECT_EQ(bare.Argument, "");

  EXPECT_EQ(ParseRemoteMessage("\xC4|\xE4").Command, "\xC4") << "only A to Z are lowered";
}

TEST(RemoteMessage, CreateArgumentNamesHostAndPort) {
  const auto target = [](std::string_view argument) {
    const TCreateTarget t = ParseCreateArgument(argument);
    return t.Host + " " + std::to_string(t.Port);
  };
  EXPECT_EQ(target("10.0.0.5:7778"), "10.0.0.5 7778");
  EXPECT_EQ(target("game://10.0.0.6"), "10.0.0.6 7777");
  EXPECT_EQ(target("  a://b:1 "), "b 1");
  EXPECT_THROW(ParseCreateArgument("a://b://c"), TConversionError) << "only the first scheme goes";
  EXPECT_EQ(target("game:// x"), " x 7777");
  EXPECT_EQ(target(""), " 7777");
  EXPECT_THROW(ParseCreateArgument("10.0.0.5:abc"), TConversionError);
  try {
    ParseCreateArgument("game://10.0.0.5:");
    FAIL();
  } catch (const TConversionError& e) {
    EXPECT_STREQ(e.what(), "'' is not a valid integer value");
  }
}

// The service on a free port, with the remote control on and temporary ports from a free
// pair, and peers that talk to it over real TCP.
struct TRemoteFixture : test::TCoreFixture {
  void Start(const std::string& password = "moonbeam") {
    RemotePort = test::FreeTcpPort();
    FromPort = test::FreeUdpPortPair();
    Load("[RemoteAdmin]\nPassword=" + password + "\nPort=" + std::to_string(RemotePort) +
         "\nFromPort=" + std::to_string(FromPort) + "\nToPort=" + std::to_string(FromPort + 1000) + "\n");
    Core->StartUp();
  }

  std::unique_ptr<TTcpPeer> Connect() {
    auto peer = std::make_unique<TTcpPeer>(static_cast<uint16_t>(FrontEnd.Listener.LocalPort()));
    const auto accepted = FrontEnd.LinesStartingWith("Got remote control connection").size() + 1;
    EXPECT_TRUE(Context.RunUntil(
        [&] { return FrontEnd.LinesStartingWith("Got remote control connection").size() == accepted; }));
    return peer;
  }

  // Sends one message and returns the reply; "" when none came within a short while.
  std::string Ask(const TTcpPeer& peer, std::string_view message) {
    peer.Send(message);
    std::string reply;
    Context.RunUntil([&] { return !(reply += peer.TryReceive()).empty(); }, 300ms);
    return reply;
  }

  std::string Tunnel(int offset) const { return "tunnel|" + std::to_string(FromPort + offset) + "\n\r"; }
  const TServer& Temporary(int index) { return *Core->Manager().Temporaries().at(index); }

  test::TRecordingPresenter Presenter;
  int RemotePort = 0;
  int FromPort = 0;
};

TEST_F(TRemoteFixture, CreatesTunnelsForThePassword) {
  Start();
  auto peer = Connect();

  EXPECT_EQ(Ask(*peer, "create|moonbeam|10.0.0.5:7778"), Tunnel(0));
  EXPECT_EQ(Temporary(0).ServerHost, "10.0.0.5");
  EXPECT_EQ(Temporary(0).ServerPort, 7778);
  EXPECT_TRUE(Temporary(0).Temporary);

  EXPECT_EQ(Ask(*peer, "CREATE|MOONBEAM|GAME://10.0.0.6\r\n"), Tunnel(1));
  EXPECT_EQ(Temporary(1).ServerHost, "10.0.0.6");
  EXPECT_EQ(Temporary(1).ServerPort, 7777);

  EXPECT_EQ(Ask(*peer, "create|moonbeam|10.0.0.5:7778|more"), Tunnel(2));
  EXPECT_EQ(Core->Manager().TemporaryCount(), 3);
  EXPECT_EQ(FrontEnd.LinesStartingWith("Tunnel open on ").size(), 3u);
}

TEST_F(TRemoteFixture, AWrongPasswordMakesItsAddressWaitOnEveryConnection) {
  Start();
  auto first = Connect();
  auto second = Connect();
  auto third = Connect();
  EXPECT_EQ(Ask(*first, "create|WrongOne|10.0.0.5"), "error|Incorrect password\n\r");
  EXPECT_EQ(FrontEnd.LinesStartingWith("Bad password"),
            std::vector<std::string>{"Bad password (wrongone) given to remote control"});

  // Until the address has waited, no connection of it is read, however many it has.
  EXPECT_EQ(Ask(*second, "create|moonbeam|10.0.0.5"), "");
  EXPECT_EQ(Ask(*third, "create| moonbeam |10.0.0.5"), "");
  EXPECT_EQ(Core->Manager().TemporaryCount(), 0);

  // Then both are read: the right password clears the address's record.
  Context.ManualClock.Advance(TRemoteLimits::kFirstWait);
  std::string fromSecond, fromThird;
  ASSERT_TRUE(Context.RunUntil([&] {
    fromSecond += second->TryReceive();
    fromThird += third->TryReceive();
    return !fromSecond.empty() && !fromThird.empty();
  }));
  EXPECT_EQ(fromSecond, Tunnel(0));
  EXPECT_EQ(fromThird, "error|Incorrect password\n\r");
  EXPECT_EQ(FrontEnd.LinesStartingWith("Bad password").back(), "Bad password ( moonbeam ) given to remote control");
}

TEST_F(TRemoteFixture, MessagesThatArriveWhileTheAddressWaitsAreEachAnsweredInOrderAfterIt) {
  Start();
  auto peer = Connect();
  for (const char* message :
       {"create|wrong|10.0.0.5", "create| moonbeam |10.0.0.5", "list|moonbeam", "create|moonbeam|10.0.0.5"}) {
    peer->Send(message);
    Context.RunFor(80ms);
    Context.ManualClock.Advance(80ms);
  }
  std::string replies;
  ASSERT_TRUE(Context.RunUntil([&] { return (replies += peer->TryReceive()).size() == 52; }));
  Context.ManualClock.Advance(TRemoteLimits::kFirstWait * 2);
  ASSERT_TRUE(Context.RunUntil([&] { return (replies += peer->TryReceive()).ends_with(Tunnel(0)); }));
  EXPECT_EQ(replies, "error|Incorrect password\n\rerror|Incorrect password\n\r" + Tunnel(0));

  // What one connection may hold waiting is bounded.
  auto greedy = Connect();
  EXPECT_EQ(Ask(*greedy, "create|wrong|h"), "error|Incorrect password\n\r");
  greedy->Send(std::string(TRemoteLimits::kMaxWaitingBytes + 1, 'x'));
  ASSERT_TRUE(Context.RunUntil([&] { return greedy->SeesEnd(); }));
  EXPECT_EQ(FrontEnd.Lines.back(), "Closed remote control connection from 127.0.0.1: too much waiting for its turn");
}

TEST(GuessGuard, KeepsABoundedNumberOfRecords) {
  TGuessGuard guard;
  for (uint32_t address = 1; address <= TRemoteLimits::kMaxGuardRecords + 100; ++address) guard.Failed(address, TTime{});
  EXPECT_EQ(guard.Records(), TRemoteLimits::kMaxGuardRecords);
}

TEST_F(TRemoteFixture, GuessingIsLockedOutAndWritesShortPlainLines) {
  Start();
  auto peer = Connect();
  // Each guess as soon as the address may: the waits double up to the longest.
  for (int i = 0; i < TRemoteLimits::kLockOutAfter; ++i) {
    EXPECT_EQ(Ask(*peer, "create|x\ny\x1b[2J" + std::string(5000, 'z') + "|h"), "error|Incorrect password\n\r");
    Context.ManualClock.Advance(std::min<std::chrono::milliseconds>(TRemoteLimits::kFirstWait * (1 << i),
                                                                    TRemoteLimits::kLongestWait));
  }
  ASSERT_TRUE(Context.RunUntil([&] { return peer->SeesEnd(); }));
  EXPECT_EQ(FrontEnd.LinesStartingWith("Remote control locked out 127.0.0.1 for 300 s after 10 bad passwords").size(),
            1u);
  // A new connection from the address is refused while it is locked out; others are served.
  TTcpPeer again(static_cast<uint16_t>(FrontEnd.Listener.LocalPort()));
  ASSERT_TRUE(Context.RunUntil([&] { return again.SeesEnd(); }));
  TTcpPeer other(static_cast<uint16_t>(FrontEnd.Listener.LocalPort()), 0x7F000002);
  EXPECT_EQ(Ask(other, "create|moonbeam|10.0.0.5"), Tunnel(0));

  // Three lines a minute per address, then one with the count of those left out.
  const auto bad = FrontEnd.LinesStartingWith("Bad password (");
  ASSERT_EQ(bad.size(), 3u);
  EXPECT_EQ(bad.front(), "Bad password (x\\x0ay\\x1b[2j" + std::string(57, 'z') +
                             "... (5007 bytes)) given to remote control");
  Context.ManualClock.Advance(TRemoteLimits::kLinePeriod);
  Core->Manager().Sweep();
  EXPECT_EQ(FrontEnd.LinesStartingWith("Bad password given to remote control 7 more times from 127.0.0.1").size(), 1u);
}

TEST_F(TRemoteFixture, IgnoresOtherCommandsAndBadPorts) {
  Start();
  auto peer = Connect();
  EXPECT_EQ(Ask(*peer, "list|moonbeam"), "");
  EXPECT_EQ(Ask(*peer, "create|moonbeam|10.0.0.5:abc"), "");
  EXPECT_EQ(Presenter.Errors, std::vector<std::string>{"'abc' is not a valid integer value"});
  EXPECT_EQ(Core->Manager().TemporaryCount(), 0);
  // The connection stays and keeps being served.
  EXPECT_EQ(Ask(*peer, "create|moonbeam|10.0.0.5"), Tunnel(0));
}

TEST_F(TRemoteFixture, EachReadIsOneMessage) {
  Start();
  auto peer = Connect();
  // A request cut inside its password gets two refusals.
  EXPECT_EQ(Ask(*peer, "create|moon"), "error|Incorrect password\n\r");
  Context.ManualClock.Advance(TRemoteLimits::kLongestWait);
  EXPECT_EQ(Ask(*peer, "beam|10.0.0.5"), "error|Incorrect password\n\r");
  EXPECT_EQ(FrontEnd.LinesStartingWith("Bad password").back(), "Bad password (10.0.0.5) given to remote control");
  Context.ManualClock.Advance(TRemoteLimits::kLongestWait);

  // Two requests in one piece: the port runs on into the second one; the error shows the
  // line ends escaped.
  EXPECT_EQ(Ask(*peer, "create|moonbeam|10.0.0.5:7778\n\rcreate|moonbeam|10.0.0.6:7778"), "");
  EXPECT_EQ(Presenter.Errors, std::vector<std::string>{"'7778\\x0a\\x0dcreate' is not a valid integer value"});
  // A host with line ends in it is no server's; refused rather than echoed into the log.
  EXPECT_EQ(Ask(*peer, "create|moonbeam|10.0.0.5\n\rcreate|moonbeam|10.0.0.6:7778"), "error|Bad server address\n\r");
  EXPECT_EQ(FrontEnd.Lines.back(), "Refused temporary tunnel to 10.0.0.5\\x0a\\x0dcreate:7777 (Bad server address)");
  EXPECT_EQ(Core->Manager().TemporaryCount(), 0);
}

TEST_F(TRemoteFixture, AnEmptyPasswordLetsBarelessMessagesThrough) {
  Start("");
  EXPECT_EQ(FrontEnd.Lines.front(), "Remote control password is empty: anyone can make tunnels");
  auto peer = Connect();
  EXPECT_EQ(Ask(*peer, "create"), Tunnel(0));
  EXPECT_EQ(Temporary(0).ServerHost, "");
  EXPECT_EQ(Temporary(0).ServerPort, 7777);
}

TEST_F(TRemoteFixture, APasswordWithABarNeverMatches) {
  Start("moon|beam");
  EXPECT_TRUE(FrontEnd.LinesStartingWith("Remote control password").empty());
  auto peer = Connect();
  EXPECT_EQ(Ask(*peer, "create|moon|beam|x"), "error|Incorrect password\n\r");
}

TEST_F(TRemoteFixture, RefusesTunnelsAimedAtItsOwnPorts) {
  const int staticPort = test::FreeUdpPortPair();
  RemotePort = test::FreeTcpPort();
  FromPort = test::FreeUdpPortPair();
  Load("[RemoteAdmin]\nPort=" + std::to_string(RemotePort) + "\nFromPort=" + std::to_string(FromPort) +
       "\nToPort=" + std::to_string(FromPort + 1) + "\n[Tunnels]\nServer0=" + std::to_string(staticPort) +
       " 10.0.0.9:7777\n");
  Core->StartUp();
  auto peer = Connect();
  const std::string refused = "error|Port of this relay\n\r";
  EXPECT_EQ(Ask(*peer, "create|moonbeam|127.0.0.1:" + std::to_string(FromPort)), refused) << "the port it would get";
  EXPECT_EQ(Ask(*peer, "create|moonbeam|10.0.0.5:7777"), Tunnel(0));
  for (const int own : {staticPort, staticPort + 1, RemotePort, FromPort})
    EXPECT_EQ(Ask(*peer, "create|moonbeam|127.0.0.1:" + std::to_string(own)), refused) << own;
  EXPECT_EQ(Ask(*peer, "create|moonbeam|game://127.1:" + std::to_string(staticPort)), refused);
  EXPECT_EQ(FrontEnd.LinesStartingWith("Refused temporary tunnel to 127.0.0.1:" + std::to_string(FromPort) +
                                       " (Port of this relay)").size(), 1u);
  // Another host's port of the same number is no loop.
  EXPECT_EQ(Ask(*peer, "create|moonbeam|10.0.0.6:" + std::to_string(staticPort)), Tunnel(1));
  EXPECT_EQ(Core->Manager().TemporaryCount(), 2);
}

TEST_F(TRemoteFixture, ConnectionsComeAndGoWithTheirLines) {
  Start();
  auto first = Connect();
  auto second = Connect();
  EXPECT_EQ(FrontEnd.Listener.ConnectionCount(), 2u);
  first->Close();
  ASSERT_TRUE(Context.RunUntil([&] { return FrontEnd.Listener.ConnectionCount() == 1; }));
  EXPECT_EQ(FrontEnd.LinesStartingWith("Closed remote control connection").size(), 1u);
  EXPECT_EQ(Ask(*second, "create|moonbeam|10.0.0.5"), Tunnel(0));
}

TEST_F(TRemoteFixture, WithSlotsToSpareNoConnectionIsClosedForItsSilenceOrRefusedForItsNetwork) {
  Start();
  // Someone typing at telnet, on a network of its own.
  TTcpPeer typing(static_cast<uint16_t>(FrontEnd.Listener.LocalPort()), 0x7F000101);
  ASSERT_TRUE(Context.RunUntil([&] { return FrontEnd.Listener.ConnectionCount() == 1; }));
  // A LAN whose players each keep a launcher connected.
  std::vector<std::unique_ptr<TTcpPeer>> lan;
  for (int i = 0; i < 12; ++i) {
    lan.push_back(std::make_unique<TTcpPeer>(static_cast<uint16_t>(FrontEnd.Listener.LocalPort()), 0x7F000002 + i));
    EXPECT_EQ(Ask(*lan.back(), "create|moonbeam|10.0.0.5:" + std::to_string(7000 + i)), Tunnel(i)) << i;
  }
  Context.ManualClock.Advance(std::chrono::minutes(1));
  Core->Manager().Sweep();
  EXPECT_EQ(Ask(typing, "create|moonbeam|10.0.0.6"), Tunnel(12));
  for (const auto& launcher : lan) EXPECT_FALSE(launcher->SeesEnd());
}

TEST_F(TRemoteFixture, ANewPortDropsConnectionsSilentlyAndListensAtOnce) {
  Start();
  auto peer = Connect();
  EXPECT_THROW(FrontEnd.Listener.SetPort(RemotePort + 1), std::runtime_error);

  Core->Config().Port = test::FreeTcpPort();
  ApplyListenerSettings(FrontEnd.Listener, Core->Config());
  EXPECT_EQ(FrontEnd.Listener.LocalPort(), Core->Config().Port);
  EXPECT_EQ(FrontEnd.Listener.ConnectionCount(), 0u);
  ASSERT_TRUE(Context.RunUntil([&] { return peer->SeesEnd(); }));
  EXPECT_TRUE(FrontEnd.LinesStartingWith("Closed remote control connection").empty());
  EXPECT_EQ(Ask(*Connect(), "create|moonbeam|10.0.0.5"), Tunnel(0));

  Core->Config().Temporary = false;
  ApplyListenerSettings(FrontEnd.Listener, Core->Config());
  EXPECT_FALSE(FrontEnd.Listener.Active());
}

// Neither a port cut to 16 bits nor a target no game server can have gets a tunnel.
TEST_F(TRemoteFixture, PortsThatAreNoneAndTargetsThatAreNoServerAreRefused) {
  Start();
  auto peer = Connect();
  for (const char* port : {"0", "-1", "70000", "$10000", "99999999999", " -99999999999"})
    EXPECT_EQ(Ask(*peer, std::string("create|moonbeam|10.0.0.5:") + port), "error|Bad server port\n\r") << port;
  for (const char* host : {"224.0.0.1", "239.1.2.3:7777", "255.255.255.255", "0.0.0.0", "0", "[::1]:7777", "[::1]"})
    EXPECT_EQ(Ask(*peer, std::string("create|moonbeam|") + host), "error|Bad server address\n\r") << host;
  EXPECT_TRUE(Presenter.Errors.empty()) << "answered, not raised";
  EXPECT_EQ(Core->Manager().TemporaryCount(), 0);
  EXPECT_EQ(Ask(*peer, "create|moonbeam|10.0.0.5:65535"), Tunnel(0));
  EXPECT_EQ(FrontEnd.LinesStartingWith("Remote control made a temporary tunnel on " + std::to_string(FromPort) +
                                       " to 10.0.0.5:65535 for 127.0.0.1").size(), 1u);

  const int port = test::FreeTcpPort();
  Core->Config().Port = port + 65536 * 3;
  EXPECT_THROW(ApplyListenerSettings(FrontEnd.Listener, Core->Config()), std::invalid_argument);
  EXPECT_NE(FrontEnd.Listener.LocalPort(), port);
}

} // namespace
} // namespace gw
