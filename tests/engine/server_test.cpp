#include "loopHarness.h"
#include "loopback.h"
#include "masters.h"
#include "repeatedLog.h"
#include "server.h"
#include "udpPeer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <memory>

namespace gw {
namespace {

using namespace std::chrono_literals;
using test::TReceived;
using test::TUdpPeer;

// A tunnel on a free pair of ports in front of a game server on loopback, whose query port
// (game port + 1) is a peer of its own.
struct TTunnelFixture : ::testing::Test {
  TTunnelFixture()
      : Server(static_cast<uint16_t>(ServerPort)), QueryServer(static_cast<uint16_t>(ServerPort + 1)),
        Tunnel(std::make_unique<TServer>(Context)) {
    Tunnel->ListenPort = test::FreeUdpPortPair();
    Tunnel->ServerHost = "127.0.0.1";
    Tunnel->ServerPort = ServerPort;
  }

  uint16_t GamePort() const { return static_cast<uint16_t>(Tunnel->ListenPort); }
  uint16_t QueryPort() const { return static_cast<uint16_t>(Tunnel->ListenPort + 1); }

  TReceived Await(const TUdpPeer& peer) {
    std::optional<TReceived> got;
    EXPECT_TRUE(Context.RunUntil([&] { return (got = peer.TryReceive()).has_value(); }))
        << "nothing arrived at port " << peer.Port();
    return got.value_or(TReceived{});
  }

  void ExpectNothingAt(const TUdpPeer& peer) {
    Context.RunFor(50ms);
    EXPECT_FALSE(peer.TryReceive().has_value()) << "unexpected datagram at port " << peer.Port();
  }

  // The client's datagram reaches the server, which answers it.
  TReceived RoundTrip(const TUdpPeer& client, std::string_view data, uint16_t tunnelPort, const TUdpPeer& server) {
    client.SendTo(tunnelPort, data);
    const TReceived atServer = Await(server);
    EXPECT_EQ(atServer.Data, data);
    server.SendTo(atServer.FromPort, "re:" + atServer.Data);
    return Await(client);
  }

  // The datagrams that reach the server's query port within a moment, of `sent`.
  int QueriesAtServer(int sent) {
    int arrived = 0;
    Context.RunUntil([&] {
      while (QueryServer.TryReceive()) ++arrived;
      return arrived == sent;
    }, 200ms);
    return arrived;
  }

  std::string Relay(const TUdpPeer& client, int serverPort) const {
    return "127.0.0.1:" + std::to_string(client.Port()) + " -> 127.0.0.1:" + std::to_string(serverPort);
  }

  test::TTestContext Context;
  const int ServerPort = test::FreeUdpPortPair();
  TUdpPeer Server;
  TUdpPeer QueryServer;
  std::unique_ptr<TServer> Tunnel;
};

TEST_F(TTunnelFixture, RelaysEachClientThroughItsOwnUpstreamPort) {
  Tunnel->Start();
  TUdpPeer first, second;

  first.SendTo(GamePort(), "one");
  const TReceived fromFirst = Await(Server);
  second.SendTo(GamePort(), "two");
  const TReceived fromSecond = Await(Server);
  first.SendTo(GamePort(), "three");
  const TReceived againFromFirst = Await(Server);

  EXPECT_EQ(fromFirst.Data, "one");
  EXPECT_EQ(fromSecond.Data, "two");
  EXPECT_EQ(againFromFirst.Data, "three");
  EXPECT_NE(fromFirst.FromPort, fromSecond.FromPort);
  EXPECT_EQ(fromFirst.FromPort, againFromFirst.FromPort);
  EXPECT_NE(fromFirst.FromPort, first.Port());

  // Replies go back to the right client, from the tunnel's port.
  Server.SendTo(fromSecond.FromPort, "for two");
  Server.SendTo(fromFirst.FromPort, "for one");
  const TReceived atSecond = Await(second);
  const TReceived atFirst = Await(first);
  EXPECT_EQ(atSecond.Data, "for two");
  EXPECT_EQ(atFirst.Data, "for one");
  EXPECT_EQ(atFirst.FromPort, GamePort());
  EXPECT_EQ(atSecond.FromPort, GamePort());

  // A relay is told when its server first answers it, and counts what it carried.
  EXPECT_EQ(Tunnel->ClientCount(), 2);
  const TRelayCounts traffic = Tunnel->Traffic();
  EXPECT_EQ(traffic.ToServer.Datagrams, 3u);
  EXPECT_EQ(traffic.ToServer.Bytes, 11u);
  EXPECT_EQ(traffic.ToClient.Datagrams, 2u);
  EXPECT_EQ(traffic.ToClient.Bytes, 14u);
  EXPECT_EQ(Context.Log, (std::vector<std::string>{
                             "Tunnel open on " + std::to_string(GamePort()) + " to 127.0.0.1:" + std::to_string(ServerPort),
                             "Got connection from " + Relay(second, ServerPort),
                             "Got connection from " + Relay(first, ServerPort),
                         }));
}

// Under load: many relays answer through one tunnel endpoint in the same turn of the loop,
// and bursts wait in the tunnel's queue. Every datagram still reaches its own peer whole
// and in order.

TEST_F(TTunnelFixture, RelaysAnsweringTogetherEachReachTheirOwnClient) {
  Tunnel->Start();
  std::vector<std::unique_ptr<TUdpPeer>> clients;
  std::map<std::string, uint16_t> upstreamOf;
  for (int i = 0; i < 100; ++i) {
    clients.push_back(std::make_unique<TUdpPeer>());
    clients.back()->SendTo(GamePort(), "client " + std::to_string(i));
    const TReceived atServer = Await(Server);
    upstreamOf[atServer.Data] = atServer.FromPort;
  }
  // The server answers everyone at once, so the replies leave the relays in the same turns.
  for (int round = 0; round < 2; ++round)
    for (int i = 0; i < 100; ++i)
      Server.SendTo(upstreamOf.at("client " + std::to_string(i)), "round " + std::to_string(round) + " for " + std::to_string(i));

  for (int i = 0; i < 100; ++i) {
    for (int round = 0; round < 2; ++round) {
      const TReceived reply = Await(*clients[i]);
      EXPECT_EQ(reply.Data, "round " + std::to_string(round) + " for " + std::to_string(i));
      EXPECT_EQ(reply.FromPort, GamePort());
    }
  }
}

TEST_F(TTunnelFixture, BurstKeepsItsOrderBothWays) {
  Tunnel->Start();
  TUdpPeer client;
  RoundTrip(client, "hello", GamePort(), Server);
  const int count = 100;
  for (int i = 0; i < count; ++i) client.SendTo(GamePort(), std::to_string(i));
  uint16_t upstream = 0;
  for (int i = 0; i < count; ++i) {
    const TReceived atServer = Await(Server);
    ASSERT_EQ(atServer.Data, std::to_string(i));
    upstream = atServer.FromPort;
  }
  for (int i = 0; i < count; ++i) Server.SendTo(upstream, "re " + std::to_string(i));
  for (int i = 0; i < count; ++i) ASSERT_EQ(Await(client).Data, "re " + std::to_string(i));
}

TEST_F(TTunnelFixture, BurstWhileTheRelayIsBusyWaitsInTheTunnelsQueue) {
  std::ifstream limit("/proc/sys/net/core/rmem_max");
  long rmemMax = 0;
  if (!(limit >> rmemMax) || rmemMax < (2 << 20)) GTEST_SKIP() << "this system caps receive queues at " << rmemMax;
  Tunnel->Start();
  // 1600 datagrams arrive while the loop is busy elsewhere: more than a default queue holds.
  std::vector<std::unique_ptr<TUdpPeer>> clients(8);
  for (auto& client : clients) {
    client = std::make_unique<TUdpPeer>();
    RoundTrip(*client, "hello", GamePort(), Server);
  }
  const int each = 200;
  for (int i = 0; i < each; ++i)
    for (const auto& client : clients) client->SendTo(GamePort(), std::to_string(i));

  int relayed = 0;
  ASSERT_TRUE(Context.RunUntil([&] {
    while (Server.TryReceive()) ++relayed;
    return relayed == each * static_cast<int>(clients.size());
  })) << relayed;
}

TEST_F(TTunnelFixture, DescribesItselfAndItsRelays) {
  TServer tunnel(Context);
  tunnel.ListenPort = 8000;
  tunnel.ServerHost = "10.0.0.5";
  tunnel.ServerPort = 7777;
  EXPECT_EQ(tunnel.Describe(), "8000 to 10.0.0.5:7777");
  EXPECT_EQ(tunnel.ClientCount(), 0);
}

TEST_F(TTunnelFixture, EmptyDatagramCreatesARelayAndIsForwardedEmpty) {
  Tunnel->Start();
  TUdpPeer client;
  EXPECT_EQ(RoundTrip(client, "", GamePort(), Server).Data, "re:");
  EXPECT_EQ(Context.LinesStartingWith("Got connection from "),
            std::vector<std::string>{"Got connection from " + Relay(client, ServerPort)});
}

TEST_F(TTunnelFixture, LongDatagramsAreDroppedWithOneLineThenACountAndNoRelay) {
  Tunnel->Start();
  TUdpPeer client;
  for (int i = 0; i < 50; ++i) client.SendTo(GamePort(), std::string(3000, 'x'));
  client.SendTo(GamePort(), std::string(2999, 'y'));
  const TReceived atServer = Await(Server);
  EXPECT_EQ(atServer.Data, std::string(2999, 'y'));
  Server.SendTo(atServer.FromPort, "ok");
  Await(client);
  EXPECT_EQ(Context.LinesStartingWith("WSA Error: "),
            std::vector<std::string>{"WSA Error: Message too long [10040]"});
  Context.ManualClock.Advance(TRepeatedLog::kSummaryInterval);
  TRepeatedLog::FlushAll(Context.Now());
  TRepeatedLog::FlushAll(Context.Now());
  EXPECT_EQ(Context.LinesStartingWith("WSA Error: "),
            (std::vector<std::string>{"WSA Error: Message too long [10040]",
                                      "WSA Error: Message too long [10040] (49 more)"}));
  EXPECT_EQ(Tunnel->ClientCount(), 1);
}

TEST_F(TTunnelFixture, DatagramFromSourcePortZeroIsDropped) {
  Tunnel->Start();
  if (!test::SendFromPortZero(GamePort(), "spoofed")) GTEST_SKIP() << "raw sockets are not allowed here";
  TUdpPeer client;
  RoundTrip(client, "real", GamePort(), Server);
  ExpectNothingAt(Server);
  EXPECT_EQ(Tunnel->ClientCount(), 1);
  EXPECT_EQ(Context.LinesStartingWith("Got connection from ").size(), 1u);
}

TEST_F(TTunnelFixture, TakenPortIsLoggedInFullBeforeTheOpenLineAtEveryStart) {
  TUdpPeer squatter(GamePort());
  Context.AddPortOption = false;
  Tunnel->Start();
  Tunnel->Start();
  const std::vector<std::string> start{"WSA Error: Address already in use [10048]", "Tunnel open on " + Tunnel->Describe()};
  EXPECT_EQ(Context.Log, (std::vector<std::string>{start[0], start[1], start[0], start[1]}));
}

TEST_F(TTunnelFixture, EditedValuesWaitForTheNextStart) {
  Context.AddPortOption = false;
  Tunnel->Start();
  const uint16_t startedPort = GamePort();
  const std::string started = Relay(TUdpPeer{}, ServerPort).substr(Relay(TUdpPeer{}, ServerPort).find(" -> "));
  TUdpPeer newServer;
  Tunnel->ListenPort = test::FreeUdpPortPair();
  Tunnel->ServerHost = "localhost";
  Tunnel->ServerPort = newServer.Port();

  TUdpPeer before;
  RoundTrip(before, "before", startedPort, Server);
  EXPECT_EQ(Context.Log.back(), "Got connection from 127.0.0.1:" + std::to_string(before.Port()) + started);

  // The new name is looked up now; datagrams before its answer are dropped.
  Tunnel->Start();
  TUdpPeer after;
  std::optional<TReceived> atNewServer;
  ASSERT_TRUE(Context.RunUntil([&] {
    after.SendTo(GamePort(), "after");
    return (atNewServer = newServer.TryReceive()).has_value();
  }));
  newServer.SendTo(atNewServer->FromPort, "welcome");
  Await(after);
  EXPECT_EQ(Context.Log.back(),
            "Got connection from 127.0.0.1:" + std::to_string(after.Port()) + " -> localhost:" + std::to_string(newServer.Port()));
}

// A client address whose server never answers (a forged source, say) costs the log nothing,
// reaches the server a few times a second, and is gone, counted, soon after it stops
// sending once room runs short; while it keeps sending it keeps its one upstream port, for
// a slow server.
TEST_F(TTunnelFixture, AClientTheServerNeverAnswersIsATrial) {
  Tunnel->Start();
  TUdpPeer stranger;
  for (int i = 0; i < 10; ++i) stranger.SendTo(GamePort(), "junk");
  Context.RunFor(50ms);
  int forwarded = 0;
  uint16_t upstream = 0;
  for (std::optional<TReceived> got; (got = Server.TryReceive()); ++forwarded) upstream = got->FromPort;
  EXPECT_EQ(forwarded, TAdmissionLimits::kTrialForwardsPerSecond);
  Context.ManualClock.Advance(1s);
  stranger.SendTo(GamePort(), "a second later");
  const TReceived later = Await(Server);
  EXPECT_EQ(later.Data, "a second later");
  EXPECT_EQ(later.FromPort, upstream);

  Context.ManualClock.Advance(TAdmissionLimits::kTrialLifetime);
  Context.Admission().Room().RanShort(Context.Now());
  Tunnel->SweepClients();
  EXPECT_EQ(Context.Admission().Trials(), 1u);
  Context.ManualClock.Advance(1ms);
  Tunnel->SweepClients();
  EXPECT_EQ(Context.Admission().Trials(), 0u);
  EXPECT_EQ(Tunnel->ClientCount(), 0);
  const TTunnelCounts& counts = Tunnel->Counts();
  EXPECT_EQ(counts.TrialsMade, 1u);
  EXPECT_EQ(counts.RelaysAnswered, 0u);
  EXPECT_EQ(counts.Dropped[TDrop::TrialLimit], 10u - TAdmissionLimits::kTrialForwardsPerSecond);
  EXPECT_EQ(counts.Closed[TClosing::Unanswered], 1u);
  EXPECT_EQ(Tunnel->Traffic().ToServer.Datagrams, TAdmissionLimits::kTrialForwardsPerSecond + 1u);
  EXPECT_EQ(Tunnel->Traffic().ToServer.Bytes, 4u * TAdmissionLimits::kTrialForwardsPerSecond + 14u);
  EXPECT_EQ(Context.Log, (std::vector<std::string>{
                             "Tunnel open on " + Tunnel->Describe(),
                             "Closed 1 connection that the server never answered on " + Tunnel->Describe(),
                         }));
}

TEST_F(TTunnelFixture, ATemporaryTunnelWhoseServerNameLeadsToThisProgramClosesItself) {
  Tunnel->Start();
  TServer temporary(Context);
  temporary.ListenPort = test::FreeUdpPortPair();
  temporary.ServerHost = "localhost";
  temporary.ServerPort = GamePort();
  temporary.Temporary = true;
  temporary.Start();
  ASSERT_TRUE(Context.RunUntil([&] { return temporary.IsExpired(); }));
  EXPECT_EQ(Context.LinesStartingWith("Refused temporary tunnel to "),
            std::vector<std::string>{"Refused temporary tunnel to localhost:" + std::to_string(GamePort()) +
                                     " (Port of this relay)"});
}

TEST_F(TTunnelFixture, RelayIdleTwelveSecondsStaysAndGoesJustAfter) {
  Tunnel->Start();
  TUdpPeer client;
  client.SendTo(GamePort(), "hi");
  const TReceived first = Await(Server);

  // The server keeps talking to a silent client: that does not keep the relay.
  Context.ManualClock.Advance(6s);
  Server.SendTo(first.FromPort, "news");
  EXPECT_EQ(Await(client).Data, "news");
  Context.ManualClock.Advance(6s);
  Tunnel->SweepClients();
  EXPECT_EQ(Tunnel->ClientCount(), 1);

  Context.ManualClock.Advance(1ms);
  Tunnel->SweepClients();
  EXPECT_EQ(Tunnel->ClientCount(), 0);
  EXPECT_EQ(Context.Log.back(), "Closed connection from " + Relay(client, ServerPort));

  // Coming back gets a new relay with a new upstream port.
  client.SendTo(GamePort(), "back");
  const TReceived again = Await(Server);
  EXPECT_NE(again.FromPort, first.FromPort);
  Server.SendTo(again.FromPort, "welcome back");
  Await(client);
  EXPECT_EQ(Context.LinesStartingWith("Got connection from ").size(), 2u);
}

TEST_F(TTunnelFixture, ClientSendingEveryTenSecondsKeepsItsRelay) {
  Tunnel->Start();
  TUdpPeer client;
  ASSERT_EQ(RoundTrip(client, "0", GamePort(), Server).Data, "re:0");
  for (int i = 1; i <= 5; ++i) {
    Context.ManualClock.Advance(10s);
    Tunnel->SweepClients();
    client.SendTo(GamePort(), std::to_string(i));
    EXPECT_EQ(Await(Server).Data, std::to_string(i));
  }
  EXPECT_EQ(Tunnel->ClientCount(), 1);
  EXPECT_EQ(Context.LinesStartingWith("Got connection from ").size(), 1u);
  EXPECT_TRUE(Context.LinesStartingWith("Closed connection from ").empty());
}

TEST_F(TTunnelFixture, SweepRemovesOnlyTheIdleAndKeepsOrder) {
  Tunnel->Start();
  TUdpPeer a, b, c;
  for (const TUdpPeer* client : {&a, &b, &c}) RoundTrip(*client, "x", GamePort(), Server);
  Context.ManualClock.Advance(8s);
  b.SendTo(GamePort(), "still here");
  Await(Server);
  Context.ManualClock.Advance(5s);
  Tunnel->SweepClients();

  EXPECT_EQ(Tunnel->ClientCount(), 1);
  EXPECT_EQ(Context.LinesStartingWith("Closed connection from "),
            (std::vector<std::string>{"Closed connection from " + Relay(a, ServerPort),
                                      "Closed connection from " + Relay(c, ServerPort)}));
  // The survivor goes on through its relay, without a new one.
  b.SendTo(GamePort(), "on");
  Await(Server);
  EXPECT_EQ(Context.LinesStartingWith("Got connection from ").size(), 3u);
}

// Where the temporary range is short of ports, only an established player keeps its tunnel.
TEST_F(TTunnelFixture, TemporaryTunnelExpiresStrictlyAfterSixtySecondsOfClientSilence) {
  Context.Admission().Room().SetTemporaryRangeShort(true);
  Tunnel->Temporary = true;
  Tunnel->Start();
  EXPECT_FALSE(Tunnel->IsExpired());
  TUdpPeer client, stranger;
  test::Establish(Context, client, GamePort(), Server, [&] { Tunnel->SweepClients(); });
  Context.ManualClock.Advance(10s);
  client.SendTo(GamePort(), "still here");
  const TReceived last = Await(Server);

  // Neither the server's traffic nor a stranger keeps it, even one the server answers.
  Context.ManualClock.Advance(30s);
  Server.SendTo(last.FromPort, "server traffic does not count");
  Await(client);
  stranger.SendTo(GamePort(), "nor does a stranger");
  Server.SendTo(Await(Server).FromPort, "answered");
  Await(stranger);
  Context.ManualClock.Advance(30s);
  EXPECT_FALSE(Tunnel->IsExpired());
  Context.ManualClock.Advance(1ms);
  EXPECT_TRUE(Tunnel->IsExpired());
}

// Where the range has room, a temporary tunnel lives as long as its clients send and keeps
// their relays: a player whose server is down for a minute, and so never answered, keeps its
// tunnel and its one upstream port, and is answered through it when the server is back.
TEST_F(TTunnelFixture, ATemporaryTunnelWhosePlayerKeepsSendingOutlivesItsServerDownForAMinute) {
  Tunnel->Temporary = true;
  Tunnel->Start();
  TUdpPeer player;
  std::set<uint16_t> upstreamPorts;
  for (int second = 0; second <= 70; second += 5) {
    player.SendTo(GamePort(), "anyone there?");
    upstreamPorts.insert(Await(Server).FromPort);
    Context.ManualClock.Advance(5s);
    Tunnel->SweepClients();
    EXPECT_FALSE(Tunnel->IsExpired()) << "at " << second << " s";
  }
  ASSERT_EQ(upstreamPorts.size(), 1u);
  Server.SendTo(*upstreamPorts.begin(), "back up");
  EXPECT_EQ(Await(player).Data, "back up");
  // Nor is its relay swept while it pauses.
  Context.ManualClock.Advance(20s);
  Tunnel->SweepClients();
  player.SendTo(GamePort(), "after a pause");
  EXPECT_EQ(Await(Server).FromPort, *upstreamPorts.begin());
}

// Where room runs short (here the temporary range), a relay stays established only at a
// player's pace: one whose client sends now and then, as a forger holding many relays blind
// must, is answered again and keeps the tunnel no longer; a player back from a pause is
// established again as soon as it plays.
TEST_F(TTunnelFixture, WhereRoomIsShortARelayStaysEstablishedOnlyAtAPlayersPace) {
  Context.Admission().Room().SetTemporaryRangeShort(true);
  Tunnel->Temporary = true;
  Tunnel->Start();
  TUdpPeer player;
  test::Establish(Context, player, GamePort(), Server, [&] { Tunnel->SweepClients(); });
  ASSERT_EQ(Tunnel->Relays().front()->Stage(), TClient::TStage::Established);
  for (int i = 0; i < 7; ++i) {
    Context.ManualClock.Advance(8s);
    Tunnel->SweepClients();
    EXPECT_EQ(Tunnel->Relays().front()->Stage(), TClient::TStage::Answered);
    player.SendTo(GamePort(), "now and then");
    Await(Server);
  }
  Context.ManualClock.Advance(5s);
  EXPECT_TRUE(Tunnel->IsExpired());
  EXPECT_EQ(Context.Admission().Room().EstablishedCount(), 0u);
  test::Establish(Context, player, GamePort(), Server, [&] { Tunnel->SweepClients(); });
  EXPECT_EQ(Tunnel->Relays().front()->Stage(), TClient::TStage::Established);
  player.SendTo(GamePort(), "playing");
  Await(Server);
  EXPECT_FALSE(Tunnel->IsExpired());
}

// While room is plentiful a relay its server has not answered lives as any relay does: a
// slow server's answer seconds later finds it, and a client's next datagram seconds later
// leaves from the same upstream port, for a server that answers only a peer's second one.
TEST_F(TTunnelFixture, ASlowServersLateAnswerAndAClientsLateSecondDatagramFindTheirRelay) {
  Tunnel->Start();
  TUdpPeer joiner, prober;
  joiner.SendTo(GamePort(), "join");
  const TReceived join = Await(Server);
  prober.SendTo(GamePort(), "first");
  const TReceived first = Await(Server);
  Context.ManualClock.Advance(3s);
  Tunnel->SweepClients();
  Server.SendTo(join.FromPort, "welcome, late");
  EXPECT_EQ(Await(joiner).Data, "welcome, late");
  prober.SendTo(GamePort(), "second");
  const TReceived second = Await(Server);
  EXPECT_EQ(second.FromPort, first.FromPort);
  Server.SendTo(second.FromPort, "answered at last");
  EXPECT_EQ(Await(prober).Data, "answered at last");
}

TEST_F(TTunnelFixture, QueryPortRewritesStatusReplies) {
  Tunnel->Start();
  TUdpPeer browser;
  browser.SendTo(QueryPort(), "\\status\\");
  const TReceived query = Await(QueryServer);
  EXPECT_EQ(query.Data, "\\status\\");
  QueryServer.SendTo(query.FromPort, "\\hostname\\Frag Fest\\hostport\\7777\\hostip\\10.0.0.9\\gametype\\DM");

  const TReceived reply = Await(browser);
  EXPECT_EQ(reply.FromPort, QueryPort());
  EXPECT_EQ(reply.Data, "\\hostname\\[Gatewarden 3.0] Frag Fest\\hostport\\" + std::to_string(GamePort()) +
                            "\\hostip\\127.0.0.1\\gametype\\DM");
  EXPECT_EQ(Context.LinesStartingWith("Got query connection from "),
            std::vector<std::string>{"Got query connection from " + Relay(browser, ServerPort + 1)});
}

// What the query port relays towards one address stays within its budget, whichever port
// the queries come from, and a browser's burst goes whole; a flood from another port of the
// browser's address does not keep the browser from being answered; a reply arriving there,
// which would have our server answer another server without end, is not relayed at all.
TEST_F(TTunnelFixture, QueryPortRelaysABrowsersBurstButNeitherAFloodNorReplies) {
  Tunnel->Start();
  TUdpPeer browser, forger, otherServer;
  const auto queriesAtServer = [&](int sent) { return QueriesAtServer(sent); };
  for (int i = 0; i < TQueryLimits::kQueryBurstPerAddress; ++i) browser.SendTo(QueryPort(), "\\status\\");
  EXPECT_EQ(queriesAtServer(TQueryLimits::kQueryBurstPerAddress), TQueryLimits::kQueryBurstPerAddress);
  for (int i = 0; i < 20; ++i) forger.SendTo(QueryPort(), "\\status\\");
  EXPECT_EQ(queriesAtServer(20), 0);
  Context.ManualClock.Advance(1s);
  for (int i = 0; i < 20; ++i) forger.SendTo(QueryPort(), "\\status\\");
  EXPECT_EQ(queriesAtServer(20), 0) << "a source that asks more than a browser has what browsers keep";
  browser.SendTo(QueryPort(), "\\status\\");
  browser.SendTo(QueryPort(), "\\status\\");
  EXPECT_EQ(queriesAtServer(2), 2);
  EXPECT_EQ(Tunnel->Counts().Dropped[TDrop::QueryBudget], 40u);

  otherServer.SendTo(QueryPort(), "\\echo\\x\\final\\\\queryid\\7.1");
  otherServer.SendTo(QueryPort(), "\\hostname\\x\\queryid\\7.1");
  EXPECT_EQ(queriesAtServer(2), 0);
  EXPECT_EQ(Tunnel->Counts().Dropped[TDrop::NotAQuery], 2u);
  EXPECT_EQ(Context.LinesStartingWith("Dropped a reply from ").size(), 1u);
}

// Two servers (or relays, or an echo service) answering each other through a relay exchange
// more than any game client does: the relay is closed as a loop at the first look that sees
// it, told, and its source refused for a while, so that the loop's datagram on its way does
// not start it again.
TEST_F(TTunnelFixture, ARelayBusierBothWaysThanAPlayerIsClosedAsALoop) {
  Tunnel->Start();
  TUdpPeer player, loop;
  const auto exchange = [&](const TUdpPeer& peer, uint64_t times, std::chrono::milliseconds over) {
    for (uint64_t i = 0; i < times; ++i) RoundTrip(peer, "x", GamePort(), Server);
    Context.ManualClock.Advance(over);
    Tunnel->SweepClients();
  };
  // A player's rate, at the first look (from the relay's making) and the next.
  exchange(player, TAdmissionLimits::kMostPlayerDatagramsPerSecond, 1s);
  exchange(player, TAdmissionLimits::kMostPlayerDatagramsPerSecond, 1s);
  // A loop found at its first look, however soon after it began.
  exchange(loop, TAdmissionLimits::kFewestLoopDatagrams + 1, 10ms);
  EXPECT_EQ(Tunnel->Counts().Closed[TClosing::Loop], 1u);
  EXPECT_EQ(Tunnel->Relays().size(), 1u);
  EXPECT_EQ(Context.LinesStartingWith("Closed connection from " + Relay(loop, ServerPort) + ": more than").size(), 1u);
  loop.SendTo(GamePort(), "x");
  ExpectNothingAt(Server);
  EXPECT_EQ(Tunnel->Counts().Refused[TRefusal::Looped], 1u);
  Context.ManualClock.Advance(TAdmissionLimits::kLoopRefusedFor + 1s);
  EXPECT_EQ(RoundTrip(loop, "back", GamePort(), Server).Data, "re:back");
  EXPECT_EQ(Tunnel->Counts().OverbusySeconds, 1u);
}

// A datagram from a service's port (an echo or a DNS server answers whatever reaches it)
// gets no relay: a forged one would have the service and the game server answer each other
// through the relay without end.
TEST_F(TTunnelFixture, AServicesPortGetsNoRelay) {
  Tunnel->Start();
  std::unique_ptr<TUdpPeer> service;
  for (const uint16_t port : TAdmissionLimits::kServicePortsAbove) {
    try {
      service = std::make_unique<TUdpPeer>(port);
      break;
    } catch (const std::runtime_error&) { // taken on this machine: the next
    }
  }
  if (!service) GTEST_SKIP() << "every service port above 1023 is taken here";
  service->SendTo(GamePort(), "x");
  service->SendTo(QueryPort(), "\\status\\");
  ExpectNothingAt(Server);
  ExpectNothingAt(QueryServer);
  EXPECT_EQ(Tunnel->Counts().Refused[TRefusal::ServicePort], 2u);
  EXPECT_EQ(Context.LinesStartingWith("Refused connection from 127.0.0.1:" + std::to_string(service->Port())).size(),
            1u);
}

TEST_F(TTunnelFixture, GameTrafficIsNeverRewritten) {
  Tunnel->Start();
  TUdpPeer client;
  const std::string status = "\\hostname\\Frag Fest\\hostport\\7777";
  EXPECT_EQ(RoundTrip(client, "q", GamePort(), Server).Data, "re:q");
  client.SendTo(GamePort(), "again");
  const TReceived atServer = Await(Server);
  Server.SendTo(atServer.FromPort, status);
  EXPECT_EQ(Await(client).Data, status);
}

TEST_F(TTunnelFixture, ClientKeepsItsFirstRelayOnTheOtherPort) {
  Tunnel->Start();
  TUdpPeer client;
  EXPECT_EQ(RoundTrip(client, "game", GamePort(), Server).FromPort, GamePort());

  // Same source port, now to the query port: still the game relay, to the game server.
  const TReceived reply = RoundTrip(client, "query", QueryPort(), Server);
  EXPECT_EQ(reply.Data, "re:query");
  EXPECT_EQ(reply.FromPort, GamePort());
  ExpectNothingAt(QueryServer);
  EXPECT_EQ(Tunnel->ClientCount(), 1);
}

TEST_F(TTunnelFixture, NoQueryPortWithoutTheOptionOrForTemporaryTunnels) {
  Context.AddPortOption = false;
  Tunnel->Start();
  EXPECT_NO_THROW(TUdpPeer{QueryPort()}) << "the query port must be free";

  auto temporary = std::make_unique<TServer>(Context);
  temporary->ListenPort = test::FreeUdpPortPair();
  temporary->Temporary = true;
  Context.AddPortOption = true;
  temporary->Start();
  EXPECT_NO_THROW(TUdpPeer{static_cast<uint16_t>(temporary->ListenPort + 1)});
}

TEST_F(TTunnelFixture, RestartKeepsRelaysAnsweringThroughTheNewEndpoints) {
  Tunnel->Start();
  TUdpPeer client, browser;
  client.SendTo(GamePort(), "before");
  const TReceived game = Await(Server);
  browser.SendTo(QueryPort(), "\\status\\");
  const TReceived query = Await(QueryServer);

  Tunnel->Start();
  Server.SendTo(game.FromPort, "after restart");
  EXPECT_EQ(Await(client).Data, "after restart");

  // Restarted without the query port: the query relay has nowhere to answer through.
  Context.AddPortOption = false;
  Tunnel->Start();
  QueryServer.SendTo(query.FromPort, "\\hostname\\x");
  ExpectNothingAt(browser);
  EXPECT_EQ(Context.LinesStartingWith("Tunnel open on ").size(), 3u);
  EXPECT_TRUE(Context.LinesStartingWith("WSA Error: ").empty());
}

// Anyone can send to a tunnel. What must never get a relay, and who may answer through one.

TEST_F(TTunnelFixture, NoRelayForTheServerItselfNorForThisProgramsOwnEndpoints) {
  Tunnel->Start();
  Server.SendTo(GamePort(), "from the game port");
  QueryServer.SendTo(GamePort(), "from the query port");
  // A tunnel aimed at itself would relay its relay's datagram back into itself, for ever.
  TServer loop(Context);
  loop.ListenPort = test::FreeUdpPortPair();
  loop.ServerHost = "127.0.0.1";
  loop.ServerPort = loop.ListenPort;
  loop.Start();
  TUdpPeer client;
  client.SendTo(static_cast<uint16_t>(loop.ListenPort), "once");
  Context.RunFor(100ms);

  // One trial, the client's: none for the source of its relay's datagram.
  EXPECT_FALSE(Server.TryReceive().has_value());
  EXPECT_EQ(Context.Admission().Trials(), 1u);
  EXPECT_TRUE(Context.LinesStartingWith("Got connection from ").empty());
}

// A relay's endpoint, once connected, sends from one local address: a peer holding the same
// port on another local address is a client like any other.
TEST_F(TTunnelFixture, APeerAtARelaysPortOnAnotherLocalAddressIsNoLoop) {
  Tunnel->Start();
  TUdpPeer client;
  client.SendTo(GamePort(), "hello");
  const uint16_t relayPort = Await(Server).FromPort;
  TFd neighbour(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in local = test::Loopback(relayPort);
  local.sin_addr.s_addr = htonl(0x7F000002);
  ASSERT_EQ(::bind(neighbour.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
  const sockaddr_in tunnel = test::Loopback(GamePort());
  ::sendto(neighbour.Get(), "next door", 9, 0, reinterpret_cast<const sockaddr*>(&tunnel), sizeof tunnel);
  EXPECT_EQ(Await(Server).Data, "next door");
}

// The server may answer from another port of its address (another socket of it); any other
// address is dropped, counted and told once, naming it.
TEST_F(TTunnelFixture, OnlyTheServersAddressAnswersThroughARelayFromAnyOfItsPorts) {
  Tunnel->Start();
  TUdpPeer client, otherPort, stranger(0, 0x7F000002);
  client.SendTo(GamePort(), "hello");
  const TReceived atServer = Await(Server);
  stranger.SendTo(atServer.FromPort, "\\hostname\\impostor");
  stranger.SendTo(atServer.FromPort, "\\hostname\\impostor");
  ExpectNothingAt(client);
  EXPECT_EQ(Tunnel->Counts().Dropped[TDrop::NotTheServer], 2u);
  EXPECT_EQ(Context.LinesStartingWith("Dropped a datagram from "),
            std::vector<std::string>{"Dropped a datagram from 127.0.0.2:" + std::to_string(stranger.Port()) +
                                     " to the upstream port of " + Relay(client, ServerPort) +
                                     ": not the server's address"});
  otherPort.SendTo(atServer.FromPort, "from another socket");
  EXPECT_EQ(Await(client).Data, "from another socket");
  Server.SendTo(atServer.FromPort, "welcome");
  EXPECT_EQ(Await(client).Data, "welcome");
  EXPECT_EQ(Tunnel->ClientCount(), 1);
}

TEST_F(TTunnelFixture, OneAddressGetsAtMostItsShareOfRelays) {
  Context.AddPortOption = false;
  Tunnel->Start();
  std::vector<std::unique_ptr<TUdpPeer>> clients;
  for (int i = 0; i < TAdmissionLimits::kMaxRelaysPerAddress + 2; ++i) {
    clients.push_back(std::make_unique<TUdpPeer>());
    clients.back()->SendTo(GamePort(), "x");
  }
  Context.RunFor(100ms);
  EXPECT_EQ(Context.Admission().Trials(), static_cast<std::size_t>(TAdmissionLimits::kMaxRelaysPerAddress));
  EXPECT_EQ(Context.LinesStartingWith("Refused connection from ").size(), 1u);

  // Once the address's relays have gone, it is served again.
  Context.ManualClock.Advance(TEngineLimits::kRelayIdleLimit + 1ms);
  Tunnel->SweepClients();
  while (Server.TryReceive()) {
  }
  RoundTrip(*clients.back(), "again", GamePort(), Server);
  EXPECT_EQ(Tunnel->ClientCount(), 1);
}

TEST_F(TTunnelFixture, APortAtTheTopOfTheIntegerRangeIsRefusedNotOverflowed) {
  Tunnel->ListenPort = 2147483647;
  Tunnel->Start();
  EXPECT_EQ(Context.LinesStartingWith("WSA Error: "),
            std::vector<std::string>(2, "WSA Error: Invalid argument [10022]"));
  EXPECT_FALSE(Tunnel->Listening());
}

TEST_F(TTunnelFixture, DestroyingATunnelClosesEverythingSilently) {
  Tunnel->Start();
  TUdpPeer client;
  client.SendTo(GamePort(), "x");
  Await(Server);
  const auto lines = Context.Log.size();
  const uint16_t port = GamePort();
  Tunnel.reset();
  EXPECT_EQ(Context.Log.size(), lines);
  EXPECT_NO_THROW(TUdpPeer{port}) << "the game port must be free again";
}


// A tunnel announced to a master server of the test's own on loopback, every minute.
struct TAnnouncedTunnel : TTunnelFixture {
  TAnnouncedTunnel() { Context.MastersOption = &Masters; }
  ~TAnnouncedTunnel() override { Context.MastersOption = nullptr; }

  void Configure(const std::string& host) { Masters.Configure({{{host, Master.Port()}}, 60s, "ut"}); }
  // A second of the relay passes, and its sweep runs.
  void Second() {
    Context.ManualClock.Advance(1s);
    Tunnel->SweepClients();
  }
  // The game server answers the queries waiting at its query port, the tunnel's own or
  // relayed; how many there were.
  int AnswerQueries(bool answer = true) {
    int queries = 0;
    while (const auto query = QueryServer.TryReceive()) {
      if (answer) QueryServer.SendTo(query->FromPort, "\\gamename\\ut\\gamever\\451\\final\\\\queryid\\1.1");
      ++queries;
    }
    if (queries > 0 && answer) Context.RunFor(10ms);
    return queries;
  }
  int Heartbeats() {
    int heartbeats = 0;
    while (const auto got = Master.TryReceive()) {
      EXPECT_EQ(got->Data, "\\heartbeat\\" + std::to_string(QueryPort()) + "\\gamename\\ut");
      EXPECT_EQ(got->FromPort, QueryPort()) << "a master answers where the heartbeat came from";
      ++heartbeats;
    }
    return heartbeats;
  }
  // Seconds pass with the server answering or silent; the heartbeats the master got.
  int Seconds(int seconds, bool answer, int* queries = nullptr) {
    int heartbeats = 0;
    for (int i = 0; i < seconds; ++i) {
      Second();
      const int asked = AnswerQueries(answer);
      if (queries) *queries += asked;
      heartbeats += Heartbeats();
    }
    return heartbeats;
  }
  std::vector<std::string> Announced() const { return Context.LinesStartingWith("Announced "); }

  TUdpPeer Master;
  TMasters Masters{Context};
};

TEST_F(TAnnouncedTunnel, HeartbeatsGoFromTheQueryPortEachMinuteWhileTheServerAnswersAndStopWithTheTunnel) {
  // A name: looked up in the background.
  Configure("localhost");
  Tunnel->Start();
  ASSERT_TRUE(Context.RunUntil([&] { return Masters.List().at(0)->Address() != 0; }));

  // Nothing shows yet that the server answers: the tunnel asks it, and announces it once
  // it has answered.
  Second();
  const TReceived probe = Await(QueryServer);
  EXPECT_EQ(probe.Data, "\\basic\\");
  EXPECT_EQ(Heartbeats(), 0) << "a server that has not answered is not advertised";
  const THeartbeats& told = Tunnel->Heartbeats();
  EXPECT_TRUE(told.Watching());
  EXPECT_FALSE(told.ServerAnswering() || told.Announced());
  QueryServer.SendTo(probe.FromPort, "\\gamename\\ut\\final\\");
  Context.RunFor(10ms);
  EXPECT_EQ(Seconds(1, true), 1);
  EXPECT_TRUE(told.ServerAnswering() && told.Announced());
  const std::string tunnel = std::to_string(GamePort()) + " to 127.0.0.1:" + std::to_string(ServerPort);
  EXPECT_EQ(Announced(), std::vector<std::string>{"Announced " + tunnel + " to master localhost:" +
                                                  std::to_string(Master.Port()) + " as query port " +
                                                  std::to_string(QueryPort())});

  // The master's challenge reaches the game server through the query port, and the game
  // server's own answer comes back from that port.
  Master.SendTo(QueryPort(), "\\secure\\wookie");
  const TReceived challenge = Await(QueryServer);
  EXPECT_EQ(challenge.Data, "\\secure\\wookie");
  QueryServer.SendTo(challenge.FromPort, "\\validate\\8Qa7Kd3v\\final\\\\queryid\\3.1");
  const TReceived validate = Await(Master);
  EXPECT_EQ(validate.Data, "\\validate\\8Qa7Kd3v\\final\\\\queryid\\3.1");
  EXPECT_EQ(validate.FromPort, QueryPort());

  // The next heartbeat a minute after the first, not before; the server is asked once,
  // shortly before, as nothing showed since that it answers.
  int queries = 0;
  EXPECT_EQ(Seconds(59, true, &queries), 0);
  EXPECT_EQ(queries, 1);
  EXPECT_EQ(Seconds(1, true), 1);
  EXPECT_EQ(Tunnel->Heartbeats().Announcements().at(0).Sent, 2u);
  EXPECT_EQ(Masters.List()[0]->Heartbeats, 2u);

  // The server falls silent: no heartbeat, a line says why, and the tunnel goes on asking.
  queries = 0;
  EXPECT_EQ(Seconds(120, false, &queries), 0);
  EXPECT_GE(queries, 10);
  EXPECT_EQ(Context.LinesStartingWith("No heartbeats for ").size(), 1u);
  EXPECT_FALSE(told.ServerAnswering() || told.Announced());
  // It answers again: announced at once, and told again.
  EXPECT_EQ(Seconds(2, true), 1);
  EXPECT_EQ(Announced().size(), 2u);

  // A closed tunnel is announced no more, and asks nothing.
  Tunnel->CloseEndpoints();
  queries = 0;
  EXPECT_EQ(Seconds(120, true, &queries), 0);
  EXPECT_EQ(queries, 0);
  EXPECT_FALSE(told.Watching());
}

// A master's address can be forged as any other: until a heartbeat goes to it, its queries
// are held to the budgets of anyone's.
TEST_F(TAnnouncedTunnel, AMasterIsAnySourceUntilAHeartbeatGoesToIt) {
  Configure("127.0.0.1");
  Tunnel->Start();
  const int burst = 3 * TQueryLimits::kQueryBurstPerSource;
  for (int i = 0; i < burst; ++i) Master.SendTo(QueryPort(), i % 2 ? "\\basic\\" : "\\secure\\wookie");
  EXPECT_EQ(QueriesAtServer(burst), TQueryLimits::kQueryBurstPerSource);
}

} // namespace
} // namespace gw
