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

TEST_F(TRemoteFixture, RefusesAWrongPassword) {
  Start();
  auto peer = Connect();
  EXPECT_EQ(Ask(*peer, "create|WrongOne|10.0.0.5"), "error|Incorrect password\n\r");
  EXPECT_EQ(Ask(*peer, "create| moonbeam |10.0.0.5"), "error|Incorrect password\n\r");
  EXPECT_EQ(FrontEnd.LinesStartingWith("Bad password"),
            (std::vector<std::string>{"Bad password (wrongone) given to remote control",
                                      "Bad password ( moonbeam ) given to remote control"}));
  EXPECT_EQ(Core->Manager().TemporaryCount(), 0);
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
  EXPECT_EQ(Ask(*peer, "beam|10.0.0.5"), "error|Incorrect password\n\r");
  EXPECT_EQ(FrontEnd.LinesStartingWith("Bad password").back(), "Bad password (10.0.0.5) given to remote control");

  // Two requests in one piece: the port runs on into the second one.
  EXPECT_EQ(Ask(*peer, "create|moonbeam|10.0.0.5:7778\n\rcreate|moonbeam|10.0.0.6:7778"), "");
  EXPECT_EQ(Presenter.Errors, std::vector<std::string>{"'7778\n\rcreate' is not a valid integer value"});
  EXPECT_EQ(Ask(*peer, "create|moonbeam|10.0.0.5\n\rcreate|moonbeam|10.0.0.6:7778"), Tunnel(0));
  EXPECT_EQ(Temporary(0).ServerHost, "10.0.0.5\n\rcreate");
  EXPECT_EQ(Temporary(0).ServerPort, 7777);
}

TEST_F(TRemoteFixture, AnEmptyPasswordLetsBarelessMessagesThrough) {
  Start("");
  auto peer = Connect();
  EXPECT_EQ(Ask(*peer, "create"), Tunnel(0));
  EXPECT_EQ(Temporary(0).ServerHost, "");
  EXPECT_EQ(Temporary(0).ServerPort, 7777);
}

TEST_F(TRemoteFixture, APasswordWithABarNeverMatches) {
  Start("moon|beam");
  auto peer = Connect();
  EXPECT_EQ(Ask(*peer, "create|moon|beam|x"), "error|Incorrect password\n\r");
}

TEST_F(TRemoteFixture, ConnectionsComeAndGoWithTheirLines) {
  Start();
  auto first = Connect();
  auto second = Connect();
  EXPECT_EQ(FrontEnd.Listener.ConnectionCount(), 2u);
  first->Close();
  ASSERT_TRUE(Context.RunUntil([&] { return FrontEnd.Listener.ConnectionCount() == 1; }));
  EXPECT_EQ(FrontEnd.LinesStartingWith("Closed remote control connection").size(), 1u);
  EXPECT_EQ(Ask(*second, "create|moonbeam|h"), Tunnel(0));
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
  EXPECT_EQ(Ask(*Connect(), "create|moonbeam|h"), Tunnel(0));

  Core->Config().Temporary = false;
  ApplyListenerSettings(FrontEnd.Listener, Core->Config());
  EXPECT_FALSE(FrontEnd.Listener.Active());
}

TEST_F(TRemoteFixture, OnlyTheLow16BitsOfThePortAreUsed) {
  Start();
  const int port = test::FreeTcpPort();
  Core->Config().Port = port + 65536 * 3;
  ApplyListenerSettings(FrontEnd.Listener, Core->Config());
  EXPECT_EQ(FrontEnd.Listener.Port(), port + 65536 * 3);
  EXPECT_EQ(FrontEnd.Listener.LocalPort(), port);
}

} // namespace
} // namespace gw
