#include "loopHarness.h"
#include "udpPeer.h"
#include "udpSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <map>
#include <memory>
#include <optional>

namespace gw {
namespace {

using test::TTestContext;
using test::TUdpPeer;

struct TReport {
  std::string Text;
  int Number;
};

// An endpoint on a port the system picks, recording what it receives and reports.
struct TEndpointFixture : ::testing::Test {
  TEndpointFixture() : Socket(std::make_unique<TudpSocket>(Context.Loop())) {
    Socket->OnReceive = [this](TudpSocket&, std::span<const char> data, const TPeerAddress& from) {
      Received.emplace_back(data.data(), data.size());
      LastFrom = from;
    };
    Socket->OnError = [this](const std::string& msg, int num) { Reports.push_back({msg, num}); };
  }

  TTestContext Context;
  std::unique_ptr<TudpSocket> Socket;
  std::vector<std::string> Received;
  std::vector<TReport> Reports;
  TPeerAddress LastFrom;
};

TEST_F(TEndpointFixture, DeliversUpToBufferLessOneAndDropsLongerWhole) {
  Socket->Open();
  ASSERT_TRUE(Socket->Active());
  TUdpPeer client;
  const auto port = static_cast<uint16_t>(Socket->LocalPort());

  client.SendTo(port, std::string(3000, 'x'));
  client.SendTo(port, std::string(2999, 'y'));
  client.SendTo(port, std::string(5000, 'z'));
  ASSERT_TRUE(Context.RunUntil([&] { return Received.size() == 1 && Reports.size() == 2; }));

  EXPECT_EQ(Received[0], std::string(2999, 'y'));
  EXPECT_EQ(LastFrom.Port, client.Port());
  for (const auto& report : Reports) {
    EXPECT_EQ(report.Text, "Message too long");
    EXPECT_EQ(report.Number, 10040);
  }
}

TEST_F(TEndpointFixture, EmptyDatagramIsDelivered) {
  Socket->Open();
  TUdpPeer client;
  client.SendTo(static_cast<uint16_t>(Socket->LocalPort()), "");
  ASSERT_TRUE(Context.RunUntil([&] { return Received.size() == 1; }));
  EXPECT_EQ(Received[0], "");
  EXPECT_TRUE(Reports.empty());
}

TEST_F(TEndpointFixture, EveryQueuedDatagramIsDeliveredInOrder) {
  Socket->Open();
  TUdpPeer client;
  // More than one wake-up's worth, and few enough for the default receive buffer.
  const int count = 2 * TudpSocket::kMaxDatagramsPerWakeup + 5;
  for (int i = 0; i < count; ++i) client.SendTo(static_cast<uint16_t>(Socket->LocalPort()), std::to_string(i));
  ASSERT_TRUE(Context.RunUntil([&] { return Received.size() == count; })) << Received.size();
  for (int i = 0; i < count; ++i) ASSERT_EQ(Received[i], std::to_string(i));
}

// An endpoint that keeps finding lone datagrams reads one at a time; a burst, long
// datagrams and the sender's address must come through exactly as through a batch read.
TEST_F(TEndpointFixture, ReadingOneAtATimeLosesAndAltersNothing) {
  Socket->Open();
  TUdpPeer client;
  const auto port = static_cast<uint16_t>(Socket->LocalPort());
  const auto sendLone = [&](const std::string& data) {
    const std::size_t before = Received.size() + Reports.size();
    client.SendTo(port, data);
    return Context.RunUntil([&] { return Received.size() + Reports.size() > before; });
  };
  const auto settle = [&] {
    for (int i = 0; i < TudpSocket::kSingleReadsAfter; ++i)
      if (!sendLone("lone")) return false;
    Received.clear();
    return true;
  };

  ASSERT_TRUE(settle());
  const int count = 2 * TudpSocket::kMaxDatagramsPerWakeup + 5;
  for (int i = 0; i < count; ++i) client.SendTo(port, std::to_string(i));
  ASSERT_TRUE(Context.RunUntil([&] { return Received.size() == count; })) << Received.size();
  for (int i = 0; i < count; ++i) ASSERT_EQ(Received[i], std::to_string(i));

  ASSERT_TRUE(settle());
  ASSERT_TRUE(sendLone(std::string(2999, 'y')));
  ASSERT_TRUE(sendLone(std::string(3000, 'x')));
  ASSERT_EQ(Received.size(), 1u);
  EXPECT_EQ(Received[0], std::string(2999, 'y'));
  EXPECT_EQ(LastFrom.Port, client.Port());
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].Number, 10040);
}

TEST_F(TEndpointFixture, HandlerThatDestroysItsEndpointEndsTheDrain) {
  Socket->OnReceive = [this](TudpSocket&, std::span<const char> data, const TPeerAddress&) {
    Received.emplace_back(data.data(), data.size());
    Socket.reset();
  };
  TudpSocket* raw = Socket.get();
  raw->Open();
  TUdpPeer client;
  for (int i = 0; i < 10; ++i) client.SendTo(static_cast<uint16_t>(raw->LocalPort()), "x");
  ASSERT_TRUE(Context.RunUntil([&] { return !Socket; }));
  Context.RunFor(std::chrono::milliseconds(20));
  EXPECT_EQ(Received.size(), 1u);
}

// Sending from a handler: datagrams wait for the end of the loop's turn and then leave
// together, so these cases check that none is lost, altered, reordered or sent through a
// closed endpoint.

TEST_F(TEndpointFixture, DatagramsSentFromAHandlerLeaveInOrderEachToItsAddress) {
  Socket->Open();
  TUdpPeer odd, even;
  // More than one batch, alternating between two addresses.
  const int count = 150;
  Socket->OnReceive = [&](TudpSocket& sender, std::span<const char>, const TPeerAddress&) {
    for (int i = 0; i < count; ++i)
      EXPECT_TRUE(sender.SendTo({htonl(INADDR_LOOPBACK), (i % 2 ? odd : even).Port()}, std::to_string(i)));
  };
  TUdpPeer client;
  client.SendTo(static_cast<uint16_t>(Socket->LocalPort()), "go");

  std::vector<std::string> atOdd, atEven;
  const auto collect = [](const TUdpPeer& peer, std::vector<std::string>& into) {
    while (const auto got = peer.TryReceive()) into.push_back(got->Data);
  };
  ASSERT_TRUE(Context.RunUntil([&] {
    collect(odd, atOdd);
    collect(even, atEven);
    return atOdd.size() + atEven.size() == count;
  }));
  for (int i = 0; i < count / 2; ++i) {
    EXPECT_EQ(atEven[i], std::to_string(2 * i));
    EXPECT_EQ(atOdd[i], std::to_string(2 * i + 1));
  }
}

TEST_F(TEndpointFixture, DatagramsOfInterleavedEndpointsLeaveEachInItsOwnOrder) {
  Socket->Open();
  TudpSocket other(Context.Loop());
  other.Open();
  TUdpPeer server;
  const int count = 60;
  Socket->OnReceive = [&](TudpSocket& sender, std::span<const char>, const TPeerAddress&) {
    for (int i = 0; i < count; ++i)
      EXPECT_TRUE((i % 2 ? other : sender).SendTo({htonl(INADDR_LOOPBACK), server.Port()}, std::to_string(i)));
  };
  TUdpPeer client;
  client.SendTo(static_cast<uint16_t>(Socket->LocalPort()), "go");

  std::map<int, std::vector<std::string>> bySource;
  int received = 0;
  ASSERT_TRUE(Context.RunUntil([&] {
    while (const auto got = server.TryReceive()) {
      bySource[got->FromPort].push_back(got->Data);
      ++received;
    }
    return received == count;
  }));
  const auto& fromSocket = bySource[static_cast<uint16_t>(Socket->LocalPort())];
  const auto& fromOther = bySource[static_cast<uint16_t>(other.LocalPort())];
  ASSERT_EQ(fromSocket.size(), count / 2u);
  ASSERT_EQ(fromOther.size(), count / 2u);
  for (int i = 0; i < count / 2; ++i) {
    EXPECT_EQ(fromSocket[i], std::to_string(2 * i));
    EXPECT_EQ(fromOther[i], std::to_string(2 * i + 1));
  }
}

TEST_F(TEndpointFixture, EndpointClosedWhileTheQueueIsSentDropsOnlyItsOwnDatagrams) {
  Socket->Open();
  TudpSocket other(Context.Loop());
  other.Open();
  TUdpPeer server;
  const TPeerAddress to{htonl(INADDR_LOOPBACK), server.Port()};
  Socket->OnReceive = [&](TudpSocket& sender, std::span<const char>, const TPeerAddress&) {
    sender.SendTo({htonl(INADDR_BROADCAST), 9}, std::string_view("refused"));
    other.SendTo(to, std::string_view("from the closed one"));
    sender.SendTo(to, std::string_view("after the failure"));
  };
  Socket->OnError = [&](const std::string& msg, int num) {
    Reports.push_back({msg, num});
    other.Close();
  };
  TUdpPeer client;
  client.SendTo(static_cast<uint16_t>(Socket->LocalPort()), "go");

  std::optional<test::TReceived> got;
  ASSERT_TRUE(Context.RunUntil([&] { return (got = server.TryReceive()).has_value(); }));
  EXPECT_EQ(got->Data, "after the failure");
  Context.RunFor(std::chrono::milliseconds(20));
  EXPECT_FALSE(server.TryReceive().has_value());
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].Number, 10013);
}

TEST_F(TEndpointFixture, EndpointDestroyedByItsHandlerStillSendsWhatItQueued) {
  Socket->Open();
  TUdpPeer server;
  Socket->OnReceive = [&](TudpSocket& sender, std::span<const char>, const TPeerAddress&) {
    sender.SendTo({htonl(INADDR_LOOPBACK), server.Port()}, std::string_view("last words"));
    Socket.reset();
  };
  TUdpPeer client;
  client.SendTo(static_cast<uint16_t>(Socket->LocalPort()), "go");
  std::optional<test::TReceived> got;
  ASSERT_TRUE(Context.RunUntil([&] { return (got = server.TryReceive()).has_value(); }));
  EXPECT_EQ(got->Data, "last words");
}

TEST_F(TEndpointFixture, QueuedSendThatFailsIsReportedAndTheRestGoOut) {
  Socket->Open();
  TUdpPeer server;
  Socket->OnReceive = [&](TudpSocket& sender, std::span<const char>, const TPeerAddress&) {
    // Broadcast without permission to broadcast: the system refuses it.
    sender.SendTo({htonl(INADDR_BROADCAST), 9}, std::string_view("to everyone"));
    sender.SendTo({htonl(INADDR_LOOPBACK), server.Port()}, std::string_view("to the server"));
  };
  TUdpPeer client;
  client.SendTo(static_cast<uint16_t>(Socket->LocalPort()), "go");
  std::optional<test::TReceived> got;
  ASSERT_TRUE(Context.RunUntil([&] { return (got = server.TryReceive()).has_value(); }));
  EXPECT_EQ(got->Data, "to the server");
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].Text, "Permission denied");
  EXPECT_EQ(Reports[0].Number, 10013);
}

// An ICMP error (anyone on the path can forge one) whose report a send takes between the
// system's notice and its handling must not leave a connected endpoint deaf for good.
TEST_F(TEndpointFixture, ErrorTakenByASendBeforeItsNoticeIsHandledLeavesTheEndpointReading) {
  const auto port = static_cast<uint16_t>(test::FreeUdpPortPair());
  std::optional<TUdpPeer> server;
  TudpSocket other(Context.Loop());
  other.OnReceive = [&](TudpSocket&, std::span<const char>, const TPeerAddress&) {
    server.emplace(port);
    // More than the send queue holds, so the queue goes out here, the first send taking
    // the error whose notice is still to be handled.
    for (int i = 0; i < 65; ++i) Socket->SendBuffer(std::string_view("burst"));
  };
  other.Open();
  Socket->Open();
  ASSERT_TRUE(Socket->Connect({htonl(INADDR_LOOPBACK), port}));
  Context.RunFor(std::chrono::milliseconds(20));

  // The system notices `other` first, then the error of the datagram to the closed port.
  TUdpPeer client;
  client.SendTo(static_cast<uint16_t>(other.LocalPort()), "go");
  Socket->SendBuffer(std::string_view("to nobody"));
  ASSERT_TRUE(Context.RunUntil([&] { return server && server->TryReceive().has_value(); }));

  server->SendTo(static_cast<uint16_t>(Socket->LocalPort()), "answer");
  ASSERT_TRUE(Context.RunUntil([&] { return !Received.empty(); }));
  EXPECT_EQ(Received[0], "answer");
  for (const TReport& report : Reports) EXPECT_EQ(report.Number, 10054) << report.Text;
}

TEST_F(TEndpointFixture, TakenPortIsReportedAndLeavesTheEndpointInactive) {
  Socket->Open();
  TudpSocket second(Context.Loop());
  second.OnError = Socket->OnError;
  second.Port = Socket->LocalPort();

  second.Open();

  EXPECT_FALSE(second.Active());
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].Text, "Address already in use");
  EXPECT_EQ(Reports[0].Number, 10048);
}

TEST_F(TEndpointFixture, PortOutsideTheRangeIsRefused) {
  Socket->Port = 65536;
  Socket->Open();
  EXPECT_FALSE(Socket->Active());
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].Number, 10022);
}

TEST_F(TEndpointFixture, ClosingTwiceOrAfterAFailedOpenDoesNothing) {
  Socket->Open();
  Socket->Close();
  Socket->Close();
  EXPECT_FALSE(Socket->Active());

  Socket->Port = -1;
  Socket->Open();
  Reports.clear();
  Socket->Close();
  EXPECT_TRUE(Reports.empty());
}

TEST_F(TEndpointFixture, SendsFromAPortTheSystemPicks) {
  Socket->Open();
  TUdpPeer server;
  Socket->SetLocation("127.0.0.1");
  Socket->SetSendPort(server.Port());

  ASSERT_TRUE(Socket->SendBuffer(std::string_view("hello")));
  std::optional<test::TReceived> got;
  ASSERT_TRUE(Context.RunUntil([&] { return (got = server.TryReceive()).has_value(); }));
  EXPECT_EQ(got->Data, "hello");
  EXPECT_NE(got->FromPort, 0);
  EXPECT_EQ(got->FromPort, Socket->LocalPort());
  EXPECT_EQ(Socket->Destination().IPText, "127.0.0.1");
  EXPECT_EQ(Socket->Destination().HostName, "NO REVERSE DNS!");
}

TEST_F(TEndpointFixture, UnresolvableDestinationFailsTheSendWithAddressNotAvailable) {
  Socket->Open();
  Socket->SetLocation("no-such-host.invalid");
  Socket->SetSendPort(7777);

  EXPECT_EQ(Socket->Destination().Address, 0u);
  EXPECT_EQ(Socket->Destination().Location, "error");
  EXPECT_TRUE(Socket->Destination().HostName.empty());
  EXPECT_TRUE(Reports.empty()) << "a failed lookup itself is silent";

  EXPECT_FALSE(Socket->SendBuffer(std::string_view("x")));
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].Text, "Can't assign requested address");
  EXPECT_EQ(Reports[0].Number, 10049);
}

TEST_F(TEndpointFixture, HostNameDestinationResolves) {
  Socket->SetLocation("localhost");
  EXPECT_EQ(Socket->Destination().IPText, "127.0.0.1");
  EXPECT_EQ(Socket->Destination().HostName, "localhost");
  EXPECT_EQ(Socket->Destination().Location, "localhost");
}

} // namespace
} // namespace gw
