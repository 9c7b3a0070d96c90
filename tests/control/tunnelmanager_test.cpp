#include "coreFixture.h"
#include "socketError.h"
#include "tcpPeer.h"
#include "udpPeer.h"

#include <gtest/gtest.h>

namespace gw {
namespace {

using namespace std::chrono_literals;
using test::TUdpPeer;

struct TManagerFixture : test::TCoreFixture {
  // Settings with the remote control off and temporary ports from `from` to `to`.
  TTunnelManager& StartWithRange(int from, int to) {
    Load("[RemoteAdmin]\nTemporary=0\nFromPort=" + std::to_string(from) + "\nToPort=" + std::to_string(to) + "\n");
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
                                "Tunnel open on " + std::to_string(first) + " to 127.0.0.1:7777",
                                "Tunnel open on " + std::to_string(second) + " to 127.0.0.1:7787",
                            }));
  // The list is refreshed before the tunnels start, and after every line.
  EXPECT_EQ(FrontEnd.Calls, (std::vector<std::string>{"refresh", "log", "refresh", "log", "refresh"}));
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
  EXPECT_TRUE(FrontEnd.Calls.empty()) << "no tunnel list yet";

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

TEST_F(TManagerFixture, TemporaryPortsRotateThroughTheRange) {
  const int from = test::FreeUdpPortPair();
  TTunnelManager& manager = StartWithRange(from, from + 2);
  std::vector<int> ports;
  for (int i = 0; i < 4; ++i) ports.push_back(manager.CreateTemporaryTunnel("127.0.0.1", 7777));
  EXPECT_EQ(ports, (std::vector<int>{from, from + 1, from + 2, from}));
  EXPECT_EQ(manager.TemporaryCount(), 4);
  EXPECT_EQ(FrontEnd.Lines.front(), "Tunnel open on " + std::to_string(from) + " to 127.0.0.1:7777");
}

TEST_F(TManagerFixture, RangeBelowItsStartAlwaysGivesTheStart) {
  const int from = test::FreeUdpPortPair();
  TTunnelManager& manager = StartWithRange(from, from - 10);
  EXPECT_EQ(manager.CreateTemporaryTunnel("127.0.0.1", 7777), from);
  EXPECT_EQ(manager.CreateTemporaryTunnel("127.0.0.1", 7777), from);
}

TEST_F(TManagerFixture, CounterAtTheTopOfTheIntegerRangeWraps) {
  TTunnelManager& manager = StartWithRange(2147483646, 2147483647);
  EXPECT_EQ(manager.CreateTemporaryTunnel("127.0.0.1", 7777), 2147483646);
  EXPECT_EQ(manager.CreateTemporaryTunnel("127.0.0.1", 7777), 2147483647);
  EXPECT_EQ(manager.CreateTemporaryTunnel("127.0.0.1", 7777), 2147483646);
}

TEST_F(TManagerFixture, TemporaryTunnelCloses60SecondsAfterItsLastClientDatagram) {
  TUdpPeer server, client, other;
  const int from = test::FreeUdpPortPair();
  TTunnelManager& manager = StartWithRange(from, from);
  const auto port = static_cast<uint16_t>(manager.CreateTemporaryTunnel("127.0.0.1", server.Port()));

  client.SendTo(port, "a");
  other.SendTo(port, "b");
  int arrived = 0;
  ASSERT_TRUE(Context.RunUntil([&] { return (arrived += server.TryReceive().has_value()) == 2; }));
  // One client stays: the tunnel lives, and its silent client's relay is not swept alone.
  for (int i = 0; i < 3; ++i) {
    Context.ManualClock.Advance(30s);
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
  ASSERT_TRUE(Context.RunUntil([&] { return server.TryReceive().has_value(); }));

  Context.ManualClock.Advance(12s + 1ms);
  Core->Manager().Sweep();
  EXPECT_EQ(FrontEnd.LinesStartingWith("Closed connection from ").size(), 1u);
  EXPECT_EQ(Core->Config().Items(0).ClientCount(), 0);
}

} // namespace
} // namespace gw
