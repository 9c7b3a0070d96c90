#include "coreFixture.h"
#include "socketError.h"
#include "tcpPeer.h"
#include "udpPeer.h"

#include <gtest/gtest.h>

#include <optional>

namespace gw {
namespace {

using namespace std::chrono_literals;
using test::TUdpPeer;

struct TManagerFixture : test::TCoreFixture {
  // Settings with the remote control off and temporary ports from `from` to `to`.
  // Set past the settings file, which takes ports only: the manager stays within them all
  // the same.
  TTunnelManager& StartWithRange(int from, int to) {
    Load("[RemoteAdmin]\nTemporary=0\n");
    Core->Config().FromPort = from;
    Core->Config().ToPort = to;
    Core->StartUp();
    return Core->Manager();
  }
};

TEST_F(TManagerFixture, StartUpSetsTheCaptionStartsTheListenerAndEveryStaticTunnel) {
  const int remotePort = test::FreeTcpPort();
  const int first = test::FreeUdpPortPair(), second = test::FreeUdpPortPair();
  Load("[RemoteAdmin]\nPort=" + std::to_string(remotePort) + "\n[Tunnels]\nServer0=" + std::to_string(first) +
       " 127.0.0.1:7777\nServer1=" + std::to_string(second) + " 127.0.0.1:7787\n");
  Core->StartUp();

  EXPECT_EQ(FrontEnd.Caption, "Gatewarden 3.0");
  EXPECT_TRUE(FrontEnd.Listener.Active());
  EXPECT_EQ(FrontEnd.Listener.LocalPort(), remotePort);
  EXPECT_EQ(FrontEnd.Lines, (std::vector<std::string>{
                                "Remote control password is the default one: anyone can make tunnels",
                                "Tunnel open on " + std::to_string(first) + " to 127.0.0.1:7777",
                                "Tunnel open on " + std::to_string(second) + " to 127.0.0.1:7787",
                            }));
  // The list is shown first as the tunnels start, and refreshed after every line from then on.
  EXPECT_EQ(FrontEnd.Calls, (std::vector<std::string>{"log", "refresh", "log", "refresh", "log", "refresh"}));
}

TEST_F(TManagerFixture, EmptySettingsStartNothingAndLogNothing) {
  Load("[RemoteAdmin]\nTemporary=0\n");
  Core->StartUp();
  Core->Manager().Reload();
  EXPECT_TRUE(FrontEnd.Lines.empty());
  EXPECT_FALSE(FrontEnd.Listener.Active());
}

TEST_F(TManagerFixture, TakenRemotePortSkipsTheRestOfStartUpUntilReload) {
  const int remotePort = test::FreeTcpPort();
  TRemoteListener squatter(Context.Loop());
  squatter.SetPort(remotePort);
  squatter.SetActive(true);
  const int tunnelPort = test::FreeUdpPortPair();
  Load("[RemoteAdmin]\nPort=" + std::to_string(remotePort) + "\n[Tunnels]\nServer0=" + std::to_string(tunnelPort) +
       " 127.0.0.1:7777\n");

  try {
    Core->StartUp();
    FAIL() << "started";
  } catch (const TSocketError& e) {
    EXPECT_STREQ(e.what(), "Windows socket error: Address already in use (10048), on API 'bind'");
  }
  EXPECT_EQ(FrontEnd.Caption, "Gatewarden 3.0");
  EXPECT_TRUE(FrontEnd.Lines.empty());
  Core->Manager().AddLog("Settings file: gatewarden.ini");
  EXPECT_EQ(FrontEnd.Calls, std::vector<std::string>{"log"}) << "no tunnel list yet";

  Core->Manager().Reload();
  EXPECT_EQ(FrontEnd.LinesStartingWith("Tunnel open on ").size(), 1u);
}

TEST_F(TManagerFixture, ReloadAfterTwoTunnelsSwappedPortsServesBoth) {
  const int first = test::FreeUdpPortPair(), second = test::FreeUdpPortPair();
  TUdpPeer serverA, serverB;
  Load("[RemoteAdmin]\nTemporary=0\n[Tunnels]\nServer0=" + std::to_string(first) + " 127.0.0.1:" +
       std::to_string(serverA.Port()) + "\nServer1=" + std::to_string(second) + " 127.0.0.1:" +
       std::to_string(serverB.Port()) + "\n");
  Core->StartUp();
  std::swap(Core->Config().Items(0).ListenPort, Core->Config().Items(1).ListenPort);
  Core->Manager().Reload();

  EXPECT_TRUE(FrontEnd.LinesStartingWith("WSA Error: ").empty());
  TUdpPeer client;
  client.SendTo(static_cast<uint16_t>(second), "to A");
  client.SendTo(static_cast<uint16_t>(first), "to B");
  std::optional<test::TReceived> atA, atB;
  ASSERT_TRUE(Context.RunUntil([&] {
    if (!atA) atA = serverA.TryReceive();
    if (!atB) atB = serverB.TryReceive();
    return atA && atB;
  }));
  EXPECT_EQ(atA->Data, "to A");
  EXPECT_EQ(atB->Data, "to B");
}

TEST_F(TManagerFixture, TemporaryPortsRotateThroughTheRangeAndNoFurther) {
  const int from = test::FreeUdpPortPair();
  TTunnelManager& manager = StartWithRange(from, from + 1);
  const TRoom& room = manager.Engine().Admission().Room();
  EXPECT_EQ(manager.CreateTemporaryTunnel("127.0.0.1", 7777).Port, from);
  EXPECT_FALSE(room.TemporaryRangeShort());
  EXPECT_EQ(manager.CreateTemporaryTunnel("127.0.0.1", 7777).Port, from + 1);
  // A range all taken keeps its tunnels to the stricter rules.
  EXPECT_TRUE(room.TemporaryRangeShort());
  // The counter wraps onto a live tunnel: refused, never a second tunnel on one port.
  EXPECT_EQ(manager.CreateTemporaryTunnel("127.0.0.1", 7777).Refusal, "No free port");
  EXPECT_EQ(manager.TemporaryCount(), 2);
  EXPECT_EQ(FrontEnd.Lines.front(), "Tunnel open on " + std::to_string(from) + " to 127.0.0.1:7777");

  // After one expiry sweep the range is free again, from where the counter stands.
  Context.ManualClock.Advance(61s);
  manager.Sweep();
  EXPECT_EQ(manager.TemporaryCount(), 0);
  EXPECT_FALSE(room.TemporaryRangeShort());
  EXPECT_EQ(FrontEnd.LinesStartingWith("Temporary tunnel on ").size(), 2u);
  EXPECT_EQ(manager.CreateTemporaryTunnel("127.0.0.1", 7777).Port, from);
}

TEST_F(TManagerFixture, CreatePassesOverPortsItCannotBindQuietly) {
  TUdpPeer server, client;
  const int from = test::FreeUdpPortPair();
  const TUdpPeer squatter(static_cast<uint16_t>(from));
  TTunnelManager& manager = StartWithRange(from, from + 1);

  const TCreateResult made = manager.CreateTemporaryTunnel("127.0.0.1", server.Port());
  ASSERT_EQ(made.Port, from + 1);
  client.SendTo(static_cast<uint16_t>(made.Port), "hello");
  ASSERT_TRUE(Context.RunUntil([&] { return server.TryReceive().has_value(); }));
  EXPECT_EQ(manager.CreateTemporaryTunnel("127.0.0.1", server.Port()).Refusal, "No free port");
  EXPECT_EQ(manager.TemporaryCount(), 1);
  EXPECT_TRUE(FrontEnd.LinesStartingWith("WSA Error").empty());
}

TEST_F(TManagerFixture, ThisMachineByTheNameLocalhostIsRefusedAsByItsNumber) {
  const int from = test::FreeUdpPortPair(), staticPort = test::FreeUdpPortPair();
  Load("[RemoteAdmin]\nTemporary=0\nFromPort=" + std::to_string(from) + "\nToPort=" + std::to_string(from) +
       "\n[Tunnels]\nServer0=" + std::to_string(staticPort) + " 10.0.0.9:7777\n");
  Core->StartUp();
  for (const char* name : {"localhost", "LocalHost.", "game.localhost"})
    EXPECT_EQ(Core->Manager().CreateTemporaryTunnel(name, staticPort).Refusal, "Port of this relay") << name;
  EXPECT_EQ(Core->Manager().TemporaryCount(), 0);
}

TEST_F(TManagerFixture, PortsBeyondTheSystemsAreRefusedAndTheCounterWrapsAtTheTop) {
  TTunnelManager& manager = StartWithRange(2147483646, 2147483647);
  EXPECT_EQ(manager.CreateTemporaryTunnel("127.0.0.1", 7777).Refusal, "No free port");
  EXPECT_EQ(manager.NextTempPort, 2147483646);
  EXPECT_EQ(manager.TemporaryCount(), 0);
}

// Only a player's traffic keeps a temporary tunnel, and its idle relays close as a static
// tunnel's do.
TEST_F(TManagerFixture, TemporaryTunnelCloses60SecondsAfterItsLastPlayersDatagram) {
  TUdpPeer server, client, other;
  const int from = test::FreeUdpPortPair();
  // A range with ports to spare: its tunnels keep every relay while any client sends.
  TTunnelManager& manager = StartWithRange(from, from + 7);
  const auto port = static_cast<uint16_t>(manager.CreateTemporaryTunnel("127.0.0.1", server.Port()).Port);
  for (const TUdpPeer* player : {&client, &other}) test::Establish(Context, *player, port, server, [&] { manager.Sweep(); });

  // One player stays: the tunnel lives, and the silent one's relay with it.
  for (int i = 0; i < 3; ++i) {
    Context.ManualClock.Advance(10s);
    manager.Sweep();
    other.SendTo(port, "still here");
    ASSERT_TRUE(Context.RunUntil([&] { return server.TryReceive().has_value(); }));
  }
  EXPECT_EQ(manager.TemporaryCount(), 1);
  EXPECT_EQ(manager.Temporaries().front()->ClientCount(), 2);
  EXPECT_TRUE(FrontEnd.LinesStartingWith("Closed connection from ").empty());

  Context.ManualClock.Advance(60s);
  manager.Sweep();
  EXPECT_EQ(manager.TemporaryCount(), 1);
  Context.ManualClock.Advance(1ms);
  manager.Sweep();
  EXPECT_EQ(manager.TemporaryCount(), 0);
  EXPECT_EQ(FrontEnd.Lines.back(),
            "Temporary tunnel on " + std::to_string(port) + " to 127.0.0.1:" + std::to_string(server.Port()) + " closed");
}

TEST_F(TManagerFixture, SweepClosesIdleRelaysOfStaticTunnels) {
  TUdpPeer server, client;
  const int port = test::FreeUdpPortPair();
  Load("[RemoteAdmin]\nTemporary=0\n[Tunnels]\nServer0=" + std::to_string(port) + " 127.0.0.1:" +
       std::to_string(server.Port()) + "\n");
  Core->StartUp();
  client.SendTo(static_cast<uint16_t>(port), "x");
  std::optional<test::TReceived> got;
  ASSERT_TRUE(Context.RunUntil([&] { return (got = server.TryReceive()).has_value(); }));
  server.SendTo(got->FromPort, "welcome");
  ASSERT_TRUE(Context.RunUntil([&] { return client.TryReceive().has_value(); }));

  Context.ManualClock.Advance(12s + 1ms);
  Core->Manager().Sweep();
  EXPECT_EQ(FrontEnd.LinesStartingWith("Closed connection from ").size(), 1u);
  EXPECT_EQ(Core->Config().Items(0).ClientCount(), 0);
}

} // namespace
} // namespace gw
