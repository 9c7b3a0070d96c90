// The headless program run as its own process, the way an operator runs it: a settings
// file in a folder of its own, game clients and servers on 127.0.0.1, the remote-control
// port over TCP, signals to stop it. Everything waits with a deadline, and the child is
// killed and reaped on every way out of a test.
#include "headlessProcess.h"
#include "tcpPeer.h"
#include "tempFolder.h"
#include "udpPeer.h"
#include "uvHandle.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using gw::TFd;
using namespace gw::test;

constexpr auto kWait = kHeadlessWait;

// Backdates a file, so that a later write shows in its modification time even when the
// written bytes are the same.
fs::file_time_type Backdate(const fs::path& path) {
  const fs::file_time_type old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 30);
  fs::last_write_time(path, old);
  return fs::last_write_time(path);
}

// ---------------------------------------------------------------------------------------
// Ports

sockaddr_in Address(uint32_t host, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(host);
  address.sin_port = htons(port);
  return address;
}

bool UdpPortFree(uint16_t port) {
  TFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = Address(INADDR_ANY, port);
  return fd.Valid() && ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool TcpPortListening(uint16_t port) {
  TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = Address(INADDR_LOOPBACK, port);
  return ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// Two free pairs (p, p + 1) that do not touch each other.
std::pair<uint16_t, uint16_t> TwoFreeUdpPortPairs() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const uint16_t a = FreeUdpPortPair();
    const uint16_t b = FreeUdpPortPair();
    if (b > a + 1 || a > b + 1) return {a, b};
  }
  throw std::runtime_error("test: no two separate pairs of UDP ports");
}

// The temporary tunnels' first port: the usual 8000 when it is free here, otherwise any.
uint16_t FirstTemporaryPort() { return UdpPortFree(8000) ? 8000 : FreeUdpPortPair(); }

// ---------------------------------------------------------------------------------------
// Log lines

// Whether the stamp is the local time of about now (it is written while the test runs).
bool StampIsNow(const std::string& line) {
  std::smatch match;
  if (!std::regex_match(line, match, kStampedLine)) return false;
  std::tm stamp{};
  stamp.tm_year = std::stoi(match[1]) - 1900;
  stamp.tm_mon = std::stoi(match[2]) - 1;
  stamp.tm_mday = std::stoi(match[3]);
  stamp.tm_hour = std::stoi(match[4]);
  stamp.tm_min = std::stoi(match[5]);
  stamp.tm_sec = std::stoi(match[6]);
  stamp.tm_isdst = -1;
  const std::time_t when = std::mktime(&stamp);
  return when != -1 && std::abs(std::difftime(std::time(nullptr), when)) <= 120;
}

// ---------------------------------------------------------------------------------------
// The program as a child process, and its remote control

// Starts the program on `settings`, a file in `folder`.
std::unique_ptr<THeadless> StartHeadless(const TTempFolder& folder, const fs::path& settings) {
  return std::make_unique<THeadless>(GW_HEADLESS_PATH, folder.Path(), std::vector<std::string>{"--config", settings.string()});
}

// A remote-control client, connected once the program listens.
TTcpPeer Control(uint16_t port) { return TTcpPeer::Await(port, kWait); }

std::string Request(const TTcpPeer& peer, std::string_view text, const std::string& expectedReply) {
  peer.Send(text);
  return peer.Receive(expectedReply.size(), kWait);
}

// ---------------------------------------------------------------------------------------
// Game traffic

// One game client talking through a tunnel.
struct TFlow {
  std::unique_ptr<TUdpPeer> Client;
  uint16_t TunnelPort = 0;
  std::string Payload;
  bool Answered = false;
  std::set<uint16_t> ReplySources; // the ports replies came from; only the tunnel's is right
  TSteady::time_point LastSent{};
};

// Every client sends its payload to its tunnel, again now and then until answered; each
// game server answers "echo:" + what it got, to whoever sent it, and notes the sender's
// port. True when every client got its own echo before the time was up.
bool Exchange(std::vector<TFlow>& flows, const std::vector<const TUdpPeer*>& servers,
              std::map<uint16_t, std::set<uint16_t>>& sendersByServer) {
  const auto deadline = TSteady::now() + kWait;
  while (TSteady::now() < deadline) {
    bool all = true;
    for (TFlow& flow : flows) {
      if (flow.Answered) continue;
      all = false;
      if (TSteady::now() - flow.LastSent > 300ms) {
        flow.Client->SendTo(flow.TunnelPort, flow.Payload);
        flow.LastSent = TSteady::now();
      }
    }
    if (all) return true;
    for (const TUdpPeer* server : servers) {
      while (const auto got = server->TryReceive()) {
        sendersByServer[server->Port()].insert(got->FromPort);
        server->SendTo(got->FromPort, "echo:" + got->Data);
      }
    }
    for (TFlow& flow : flows) {
      while (const auto got = flow.Client->TryReceive()) {
        flow.ReplySources.insert(got->FromPort);
        if (got->FromPort == flow.TunnelPort && got->Data == "echo:" + flow.Payload) flow.Answered = true;
      }
    }
    std::this_thread::sleep_for(2ms);
  }
  return false;
}

// Waits for one datagram at `peer`.
std::optional<TReceived> ReceiveOne(const TUdpPeer& peer) {
  const auto deadline = TSteady::now() + kWait;
  while (TSteady::now() < deadline) {
    if (auto got = peer.TryReceive()) return got;
    std::this_thread::sleep_for(2ms);
  }
  return std::nullopt;
}

std::string Tunnel(uint16_t listenPort, const std::string& host, uint16_t serverPort) {
  return std::to_string(listenPort) + " to " + host + ":" + std::to_string(serverPort);
}

// =======================================================================================
// Relaying through static tunnels

TEST(HeadlessRelay, StaticTunnelsRelayManyClientsBothWaysAndLogEachWithAStamp) {
  TTempFolder folder;
  const auto [tunnelA, tunnelB] = TwoFreeUdpPortPairs();
  // The first server also has its query port beside it, which the tunnel's second
  // endpoint relays to.
  const uint16_t serverAPort = FreeUdpPortPair();
  const TUdpPeer serverA(serverAPort);
  const TUdpPeer serverAQuery(static_cast<uint16_t>(serverAPort + 1));
  const TUdpPeer serverB;

  const fs::path settings = folder.Path() / "relay.ini";
  TTempFolder::Write(settings, "[General]\nAddPort=1\n[RemoteAdmin]\nTemporary=0\n[Tunnels]\n"
                      "Server0=" + std::to_string(tunnelA) + " 127.0.0.1:" + std::to_string(serverA.Port()) + "\n"
                      "Server1=" + std::to_string(tunnelB) + " 127.0.0.1:" + std::to_string(serverB.Port()) + "\n");
  const auto relay = StartHeadless(folder, settings);

  ASSERT_TRUE(relay->WaitForMessage("Tunnel open on " + Tunnel(tunnelA, "127.0.0.1", serverA.Port())))
      << relay->Transcript();
  ASSERT_TRUE(relay->WaitForMessage("Tunnel open on " + Tunnel(tunnelB, "127.0.0.1", serverB.Port())))
      << relay->Transcript();

  constexpr int kClientsPerTunnel = 3;
  std::vector<TFlow> flows;
  for (int i = 0; i < 2 * kClientsPerTunnel; ++i) {
    TFlow flow;
    flow.Client = std::make_unique<TUdpPeer>();
    flow.TunnelPort = i < kClientsPerTunnel ? tunnelA : tunnelB;
    flow.Payload = "ping " + std::to_string(i) + " from " + std::to_string(flow.Client->Port());
    flows.push_back(std::move(flow));
  }
  std::map<uint16_t, std::set<uint16_t>> sendersByServer;
  const bool allAnswered = Exchange(flows, {&serverA, &serverB}, sendersByServer);
  for (const TFlow& flow : flows) {
    EXPECT_TRUE(flow.Answered) << flow.Payload;
    EXPECT_EQ(flow.ReplySources, std::set<uint16_t>{flow.TunnelPort}) << "replies must come from the tunnel port";
  }
  ASSERT_TRUE(allAnswered) << relay->Transcript();

  // Each client has a relay of its own: the server sees one distinct peer per client,
  // never the client itself nor the tunnel's port.
  for (const auto& [server, senders] : sendersByServer) {
    EXPECT_EQ(senders.size(), static_cast<size_t>(kClientsPerTunnel)) << "server " << server;
    for (const TFlow& flow : flows) {
      EXPECT_EQ(senders.count(flow.Client->Port()), 0u);
      EXPECT_EQ(senders.count(flow.TunnelPort), 0u);
    }
  }

  // One connection line per client, however often it sent.
  std::vector<std::string> connectionLines;
  for (const TFlow& flow : flows) {
    const uint16_t server = flow.TunnelPort == tunnelA ? serverA.Port() : serverB.Port();
    connectionLines.push_back("Got connection from 127.0.0.1:" + std::to_string(flow.Client->Port()) +
                              " -> 127.0.0.1:" + std::to_string(server));
  }
  relay->WaitFor([&](const std::vector<std::string>& lines) {
    return std::ranges::all_of(connectionLines, [&](const std::string& line) { return CountMessage(lines, line) > 0; });
  });
  for (const std::string& line : connectionLines)
    EXPECT_EQ(CountMessage(relay->Lines(), line), 1) << line << "\n" << relay->Transcript();

  // With AddPort on, the port above the tunnel's reaches the server's query port.
  const TUdpPeer browser;
  browser.SendTo(static_cast<uint16_t>(tunnelA + 1), "\\status\\");
  const auto query = ReceiveOne(serverAQuery);
  ASSERT_TRUE(query) << relay->Transcript();
  EXPECT_EQ(query->Data, "\\status\\");
  serverAQuery.SendTo(query->FromPort, "\\hostname\\x");
  EXPECT_TRUE(relay->WaitForMessage("Got query connection from 127.0.0.1:" + std::to_string(browser.Port()) +
                                    " -> 127.0.0.1:" + std::to_string(serverAPort + 1)))
      << relay->Transcript();

  // Every line carries the local date and time at which it was written.
  for (const std::string& line : relay->Lines()) EXPECT_TRUE(StampIsNow(line)) << line;

  // Stopping with live relays is an ordinary, clean stop.
  relay->Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay->WaitExit(), 0)) << relay->Transcript();
}

// =======================================================================================
// Remote control

TEST(HeadlessRemoteControl, CreateOpensATemporaryTunnelAndAWrongPasswordIsRefused) {
  TTempFolder folder;
  const uint16_t controlPort = FreeTcpPort();
  const uint16_t firstTemporary = FirstTemporaryPort();
  const TUdpPeer server;

  const fs::path settings = folder.Path() / "remote.ini";
  TTempFolder::Write(settings, "[RemoteAdmin]\nTemporary=1\nPassword=letmein\nPort=" + std::to_string(controlPort) +
                          "\nFromPort=" + std::to_string(firstTemporary) +
                          "\nToPort=" + std::to_string(firstTemporary + 100) + "\n");
  const auto relay = StartHeadless(folder, settings);

  const TTcpPeer game = Control(controlPort);
  ASSERT_TRUE(relay->WaitForMessage("Got remote control connection")) << relay->Transcript();
  const std::string created = "tunnel|" + std::to_string(firstTemporary) + "\n\r";
  EXPECT_EQ(Request(game, "create|letmein|127.0.0.1:" + std::to_string(server.Port()), created), created)
      << relay->Transcript();
  ASSERT_TRUE(relay->WaitForMessage("Tunnel open on " + Tunnel(firstTemporary, "127.0.0.1", server.Port())))
      << relay->Transcript();

  // The new tunnel relays both ways.
  const TUdpPeer client;
  client.SendTo(firstTemporary, "hello");
  const auto atServer = ReceiveOne(server);
  ASSERT_TRUE(atServer) << relay->Transcript();
  EXPECT_EQ(atServer->Data, "hello");
  server.SendTo(atServer->FromPort, "welcome");
  const auto atClient = ReceiveOne(client);
  ASSERT_TRUE(atClient) << relay->Transcript();
  EXPECT_EQ(atClient->Data, "welcome");
  EXPECT_EQ(atClient->FromPort, firstTemporary);

  // A second connection with the wrong password: refused in the protocol, logged in
  // lower case, and no tunnel is made.
  const TTcpPeer intruder = Control(controlPort);
  ASSERT_TRUE(relay->WaitForMessage("Got remote control connection", 2)) << relay->Transcript();
  const std::string refused = "error|Incorrect password\n\r";
  EXPECT_EQ(Request(intruder, "create|Not-LetMeIn|127.0.0.1:" + std::to_string(server.Port()), refused), refused);
  EXPECT_TRUE(relay->WaitForMessage("Bad password (not-letmein) given to remote control")) << relay->Transcript();
  int tunnelsOpened = 0;
  for (const std::string& line : relay->Lines())
    tunnelsOpened += MessageOf(line).value_or("").starts_with("Tunnel open on ") ? 1 : 0;
  EXPECT_EQ(tunnelsOpened, 1) << relay->Transcript();

  // The first connection is still served after the other one's failure.
  const std::string next = "tunnel|" + std::to_string(firstTemporary + 1) + "\n\r";
  EXPECT_EQ(Request(game, "create|letmein|127.0.0.1:" + std::to_string(server.Port()), next), next)
      << relay->Transcript();
}

// =======================================================================================
// Start and stop

// The relay a test talks to: one game server that echoes, and a file that sets the
// remote-control port and the temporary tunnels' range.
struct TServedRelay {
  uint16_t ControlPort = FreeTcpPort();
  uint16_t FirstTemporary = FirstTemporaryPort();
  TUdpPeer Server;

  std::string RemoteAdmin(uint16_t port, const std::string& password) const {
    return "[RemoteAdmin]\nTemporary=1\nPassword=" + password + "\nPort=" + std::to_string(port) +
           "\nFromPort=" + std::to_string(FirstTemporary) + "\nToPort=" + std::to_string(FirstTemporary + 5) + "\n";
  }
  std::string TunnelEntry(uint16_t listenPort) const {
    return std::to_string(listenPort) + " 127.0.0.1:" + std::to_string(Server.Port());
  }
  // A new client's datagram through `port` comes back from the server's echo.
  bool Answers(uint16_t port) const {
    std::vector<TFlow> flows(1);
    flows[0].Client = std::make_unique<TUdpPeer>();
    flows[0].TunnelPort = port;
    flows[0].Payload = "ping";
    std::map<uint16_t, std::set<uint16_t>> senders;
    return Exchange(flows, {&Server}, senders);
  }
};

TEST(HeadlessSettings, TheFileIsOnlyReadAndStaysByteForByteThroughTheStop) {
  TTempFolder folder;
  const TServedRelay served;
  const uint16_t tunnel = FreeUdpPortPair();
  const std::string original = "; kept by the administrator\n[General]\nAddPort=0\n" +
                               served.RemoteAdmin(served.ControlPort, "Sesame") +
                               "[Tunnels]\nServer0=" + served.TunnelEntry(tunnel) + "\n";
  const fs::path settings = folder.Path() / "gatewarden.ini";
  TTempFolder::Write(settings, original);

  const auto relay = StartHeadless(folder, settings);
  ASSERT_TRUE(relay->WaitForMessage("Tunnel open on " + Tunnel(tunnel, "127.0.0.1", served.Server.Port())))
      << relay->Transcript();
  const TTcpPeer game = Control(served.ControlPort);
  const std::string created = "tunnel|" + std::to_string(served.FirstTemporary) + "\n\r";
  ASSERT_EQ(Request(game, "create|SESAME|127.0.0.1:7777", created), created) << relay->Transcript();

  // The administrator edits the file while the relay runs: the stop must not undo it.
  const std::string edited = "[General]\nAddPort=1\n" + served.RemoteAdmin(served.ControlPort, "changed");
  TTempFolder::Write(settings, edited);
  const fs::file_time_type before = Backdate(settings);
  struct stat was {};
  ::stat(settings.c_str(), &was);

  relay->Signal(SIGTERM);
  const std::optional<int> status = relay->WaitExit();
  ASSERT_TRUE(status) << "still running after SIGTERM\n" << relay->Transcript();
  EXPECT_TRUE(ExitedWith(status, 0)) << "wait status " << *status << "\n" << relay->Transcript();

  struct stat is {};
  ::stat(settings.c_str(), &is);
  EXPECT_EQ(TTempFolder::Read(settings), edited);
  EXPECT_EQ(fs::last_write_time(settings), before);
  EXPECT_EQ(is.st_ino, was.st_ino) << "the file was replaced";
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.Path()), fs::directory_iterator()), 1)
      << "nothing else is written beside it";
  EXPECT_EQ(relay->Err(), "");
}

TEST(HeadlessSettings, SighupRereadsTheFileRestartsStaticTunnelsAndKeepsTemporaryOnes) {
  TTempFolder folder;
  const TServedRelay served;
  const auto [before, after] = TwoFreeUdpPortPairs();
  const uint16_t newControlPort = FreeTcpPort();
  const fs::path settings = folder.Path() / "gatewarden.ini";
  TTempFolder::Write(settings, served.RemoteAdmin(served.ControlPort, "letmein") + "[Tunnels]\nServer0=" +
                          served.TunnelEntry(before) + "\n");

  const auto relay = StartHeadless(folder, settings);
  ASSERT_TRUE(relay->WaitForMessage("Tunnel open on " + Tunnel(before, "127.0.0.1", served.Server.Port())))
      << relay->Transcript();
  const TTcpPeer game = Control(served.ControlPort);
  const std::string created = "tunnel|" + std::to_string(served.FirstTemporary) + "\n\r";
  ASSERT_EQ(Request(game, "create|letmein|127.0.0.1:" + std::to_string(served.Server.Port()), created), created)
      << relay->Transcript();

  // Another tunnel, another remote-control port and password.
  const std::string edited = served.RemoteAdmin(newControlPort, "other") + "[Tunnels]\nServer0=" +
                             served.TunnelEntry(after) + "\n";
  TTempFolder::Write(settings, edited);
  relay->Signal(SIGHUP);
  ASSERT_TRUE(relay->WaitForMessage("Tunnel open on " + Tunnel(after, "127.0.0.1", served.Server.Port())))
      << relay->Transcript();
  EXPECT_EQ(CountMessage(relay->Lines(), "Settings reloaded from " + settings.string()), 1) << relay->Transcript();

  EXPECT_TRUE(served.Answers(after)) << relay->Transcript();
  EXPECT_TRUE(UdpPortFree(before)) << "the tunnel that left the file still holds its port";
  EXPECT_TRUE(served.Answers(served.FirstTemporary)) << "the temporary tunnel went with the reload";
  const TTcpPeer moved = Control(newControlPort);
  const std::string next = "tunnel|" + std::to_string(served.FirstTemporary + 1) + "\n\r";
  EXPECT_EQ(Request(moved, "create|other|127.0.0.1:" + std::to_string(served.Server.Port()), next), next)
      << relay->Transcript();

  // A file that no longer reads: the running settings stay, and standard error says why.
  TTempFolder::Write(settings, edited + "Server1=7777 a:b:7777\n");
  relay->Signal(SIGHUP);
  EXPECT_TRUE(relay->WaitForError("Server1=7777 a:b:7777")) << relay->Transcript();
  EXPECT_TRUE(served.Answers(after)) << relay->Transcript();
  EXPECT_EQ(CountMessage(relay->Lines(), "Settings reloaded from " + settings.string()), 1) << relay->Transcript();

  relay->Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay->WaitExit(), 0)) << relay->Transcript();
}

// The tunnels are the job: a remote-control port another program holds is told at warning
// priority and tried again, and the remote control listens once the port is let go.
TEST(HeadlessLifecycle, ARemoteControlPortTakenAtStartIsToldAndTriedAgainWhileTheTunnelsServe) {
  TTempFolder folder;
  const TServedRelay served;
  const uint16_t tunnel = FreeUdpPortPair();
  // Another program listens on the port.
  auto taken = std::make_unique<TFd>(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(served.ControlPort);
  ASSERT_EQ(::bind(taken->Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(taken->Get(), 1), 0);

  const fs::path settings = folder.Path() / "gatewarden.ini";
  TTempFolder::Write(settings, served.RemoteAdmin(served.ControlPort, "letmein") + "[Tunnels]\nServer0=" +
                          served.TunnelEntry(tunnel) + "\n");
  TOutputSetup journal;
  journal.Journal = true;
  THeadless relay(GW_HEADLESS_PATH, folder.Path(), {"--config", settings.string()}, journal);
  const auto said = [&](const std::string& text, std::chrono::seconds within) {
    return relay.WaitFor([&](const auto&) { return relay.Out().find(text) != std::string::npos; }, within);
  };
  const std::string port = std::to_string(served.ControlPort);
  EXPECT_TRUE(said("<4>Remote control cannot listen on TCP port " + port + ": ", 3s)) << relay.Transcript();
  EXPECT_NE(relay.Out().find("Address already in use"), std::string::npos) << relay.Out();
  EXPECT_TRUE(said("; remote control off: TCP port " + port + " could not be listened on (tried again every 5 s", 3s))
      << relay.Transcript();
  EXPECT_TRUE(served.Answers(tunnel)) << relay.Transcript();
  taken.reset();
  ASSERT_TRUE(said("<6>Remote control listens on TCP port " + port, 8s)) << relay.Transcript();
  const TTcpPeer control = Control(served.ControlPort);
  EXPECT_TRUE(said("Got remote control connection", 3s)) << relay.Transcript();
  EXPECT_FALSE(relay.WaitExit(0s)) << relay.Transcript();
}

// =======================================================================================
// Its output

TEST(HeadlessOutput, AReaderThatGoesAwayDoesNotEndTheRelay) {
  TTempFolder folder;
  const TServedRelay served;
  const fs::path settings = folder.Path() / "gatewarden.ini";
  TTempFolder::Write(settings, served.RemoteAdmin(served.ControlPort, "letmein"));
  const auto relay = StartHeadless(folder, settings);

  const TTcpPeer first = Control(served.ControlPort);
  ASSERT_TRUE(relay->WaitForMessage("Got remote control connection")) << relay->Transcript();
  relay->CloseOutput();
  // Every line from now on meets a broken pipe.
  const TTcpPeer game = Control(served.ControlPort);
  const std::string created = "tunnel|" + std::to_string(served.FirstTemporary) + "\n\r";
  EXPECT_EQ(Request(game, "create|letmein|127.0.0.1:" + std::to_string(served.Server.Port()), created), created)
      << relay->Transcript();
  EXPECT_TRUE(served.Answers(served.FirstTemporary)) << relay->Transcript();
  EXPECT_TRUE(relay->WaitForError("standard output failed")) << relay->Transcript();

  relay->Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay->WaitExit(), 0)) << relay->Transcript();
}

TEST(HeadlessOutput, AStalledReaderHoldsNothingUpAndLearnsHowManyLinesWereDropped) {
  TTempFolder folder;
  const TServedRelay served;
  const uint16_t tunnel = FreeUdpPortPair();
  // Each reload tells every line of the file that is not read: a reader that takes none of
  // them is soon far behind.
  const fs::path settings = folder.Path() / "gatewarden.ini";
  const auto write = [&](int round) {
    std::string unread;
    for (int i = 1; i <= 200; ++i) unread += "Unread" + std::to_string(i) + "=" + std::to_string(round) + "\n";
    TTempFolder::Write(settings, "[General]\nAddPort=0\n" + unread + served.RemoteAdmin(served.ControlPort, "letmein") +
                            "[Tunnels]\nServer0=" + served.TunnelEntry(tunnel) + "\n");
  };
  write(0);
  constexpr int kPipeSize = 4096;
  THeadless relay(GW_HEADLESS_PATH, folder.Path(), {"--config", settings.string()}, TOutputSetup{.PipeSize = kPipeSize});
  const TTcpPeer started = Control(served.ControlPort);
  for (int i = 0; i < 20; ++i) {
    write(i + 1);
    relay.Signal(SIGHUP);
    std::this_thread::sleep_for(20ms); // signals sent at once may arrive as one
  }
  // Full, but for less than a line.
  EXPECT_GT(relay.UnreadOutput(), kPipeSize - 100);

  // Still unread, the relay serves players and answers a stop.
  EXPECT_TRUE(served.Answers(tunnel));
  relay.Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay.WaitExit(), 0)) << relay.Transcript();

  // Once the reader takes the output again, it hears how much it missed.
  const std::regex dropped(R"(^(\d+) log lines were dropped: the output did not keep up$)");
  int notices = 0;
  for (const std::string& line : relay.Lines()) {
    const std::string message = MessageOf(line).value_or("");
    std::smatch match;
    if (!std::regex_match(message, match, dropped)) continue;
    ++notices;
    EXPECT_GT(std::stoi(match[1]), 0) << line;
  }
  EXPECT_EQ(notices, 1) << relay.Transcript();
}

TEST(HeadlessOutput, UnderTheJournalLinesCarryTheirPriorityAndNoStamp) {
  TTempFolder folder;
  const TServedRelay served;
  const auto [tunnel, taken] = TwoFreeUdpPortPairs();
  const TUdpPeer squatter(taken);
  const fs::path settings = folder.Path() / "gatewarden.ini";
  TTempFolder::Write(settings, "[General]\nAddPort=0\n[RemoteAdmin]\nTemporary=0\n[Tunnels]\nServer0=" +
                          served.TunnelEntry(tunnel) + "\nServer1=" + served.TunnelEntry(taken) + "\n");
  THeadless relay(GW_HEADLESS_PATH, folder.Path(), {"--config", settings.string()}, TOutputSetup{.Journal = true});
  const std::string open = "<6>Tunnel open on " + Tunnel(tunnel, "127.0.0.1", served.Server.Port());
  const std::string failed = "<4>WSA Error: Address already in use [10048]";
  EXPECT_TRUE(relay.WaitFor([&](const std::vector<std::string>& lines) {
    return std::ranges::count(lines, open) == 1 && std::ranges::count(lines, failed) == 1;
  })) << relay.Transcript();
  relay.Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay.WaitExit(), 0)) << relay.Transcript();
}

// The service manager's side of sd_notify: a datagram socket named by NOTIFY_SOCKET.
TEST(HeadlessOutput, TellsTheServiceManagerReadyReloadingStoppingAndItsStatus) {
  TTempFolder folder;
  const TServedRelay served;
  const fs::path socketPath = folder.Path() / "notify";
  TFd manager(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(manager.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const fs::path settings = folder.Path() / "gatewarden.ini";
  TTempFolder::Write(settings, "[RemoteAdmin]\nTemporary=0\n[Tunnels]\nServer0=" + served.TunnelEntry(FreeUdpPortPair()) + "\n");
  THeadless relay(GW_HEADLESS_PATH, folder.Path(), {"--config", settings.string()},
                  TOutputSetup{.Environment = {"NOTIFY_SOCKET=" + socketPath.string()}});
  std::string heard;
  const auto hears = [&](const std::string& message) {
    return relay.WaitFor([&](const std::vector<std::string>&) {
      char buffer[512];
      for (ssize_t n; (n = ::recv(manager.Get(), buffer, sizeof buffer, 0)) > 0;) heard.append(buffer, n).append("|");
      return heard.find(message) != std::string::npos;
    });
  };
  EXPECT_TRUE(hears("STATUS=1 static tunnels, 0 temporary, 0 clients|READY=1|")) << heard;
  relay.Signal(SIGHUP);
  EXPECT_TRUE(hears("RELOADING=1|READY=1|")) << heard;
  relay.Signal(SIGTERM);
  EXPECT_TRUE(hears("STOPPING=1|")) << heard;
  EXPECT_TRUE(ExitedWith(relay.WaitExit(), 0)) << relay.Transcript();
}

// =======================================================================================
// The settings file as untrusted input

TEST(HeadlessSettings, OnlyAnExistingRegularFileIsReadAndCheckSaysWhyNot) {
  TTempFolder folder;
  const fs::path fifo = folder.Path() / "fifo.ini";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path zero = folder.Path() / "zero.ini";
  fs::create_symlink("/dev/zero", zero);
  const std::pair<fs::path, std::string> cases[] = {{fifo, "not a regular file but a FIFO"},
                                                    {zero, "not a regular file but a character device"},
                                                    {folder.Path() / "missing.ini", "No such file or directory"}};
  for (const auto& [path, reason] : cases) {
    for (const bool check : {false, true}) {
      SCOPED_TRACE(path.string() + (check ? " --check" : ""));
      std::vector<std::string> args{"--config", path.string()};
      if (check) args.insert(args.begin(), "--check");
      THeadless relay(GW_HEADLESS_PATH, folder.Path(), args);
      EXPECT_TRUE(ExitedWith(relay.WaitExit(), 2)) << relay.Transcript();
      EXPECT_NE(relay.Err().find("Unable to read " + path.string() + ": " + reason), std::string::npos) << relay.Err();
    }
  }
  // A good file: --check says what it holds, and serves nothing.
  const uint16_t tunnel = FreeUdpPortPair();
  const fs::path good = folder.Path() / "good.ini";
  TTempFolder::Write(good, "[RemoteAdmin]\nTemporary=1\n[Tunnels]\nServer0=" + std::to_string(tunnel) + " 127.0.0.1:7777\n");
  // Readable by the service's user, which root's check looks at too.
  fs::permissions(folder.Path(), fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
  fs::permissions(good, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  if (::geteuid() == 0) {
    // Mode 0600 reads for root and not for the service's user: a warning.
    fs::permissions(good, fs::perms::others_read | fs::perms::group_read, fs::perm_options::remove);
    THeadless unreadable(GW_HEADLESS_PATH, folder.Path(), {"--check", "--config", good.string()});
    EXPECT_TRUE(ExitedWith(unreadable.WaitExit(), 0)) << unreadable.Transcript();
    EXPECT_NE(unreadable.Out().find("warning: " + good.string() + ": the service's user could not read it "
                                    "(Permission denied)"),
              std::string::npos)
        << unreadable.Transcript();
    fs::permissions(good, fs::perms::others_read | fs::perms::group_read, fs::perm_options::add);
  }
  THeadless check(GW_HEADLESS_PATH, folder.Path(), {"--check", "--config", good.string()});
  EXPECT_TRUE(ExitedWith(check.WaitExit(), 0)) << check.Transcript();
  EXPECT_EQ(check.Out(), "gatewarden-headless: " + good.string() + ": 1 static tunnels on " + std::to_string(tunnel) +
                             " (each with its query port); remote control stays off: its password is the default " +
                             "one, with which anyone could make tunnels to any host (set Password in [RemoteAdmin]); " +
                             "metrics off; fast path off (FastPath=0); no masters\n");
  EXPECT_TRUE(UdpPortFree(tunnel));
}

TEST(HeadlessSettings, MoreTunnelsThanTheDescriptorLimitCanServeAreRefusedNamingBoth) {
  TTempFolder folder;
  std::string tunnels = "[Tunnels]\n";
  for (int i = 0; i < 100; ++i) tunnels += "Server" + std::to_string(i) + "=" + std::to_string(20000 + 2 * i) + " h:1\n";
  const fs::path settings = folder.Path() / "gatewarden.ini";
  TTempFolder::Write(settings, tunnels);
  THeadless relay(GW_HEADLESS_PATH, folder.Path(), {"--config", settings.string()}, TOutputSetup{.DescriptorLimit = 256});
  EXPECT_TRUE(ExitedWith(relay.WaitExit(), 2)) << relay.Transcript();
  EXPECT_NE(relay.Err().find("100 tunnels need 200 sockets, more than the descriptor limit of 256"), std::string::npos)
      << relay.Err();
}

// Neither a guessable password nor a file gone at reload opens the relay to strangers or
// closes its tunnels.
TEST(HeadlessSettings, RemoteControlNeverOpensWithTheDefaultPasswordNorAReloadOfAMissingFileChangesAnything) {
  TTempFolder folder;
  const TServedRelay served;
  const uint16_t tunnel = FreeUdpPortPair();
  const fs::path settings = folder.Path() / "gatewarden.ini";
  const std::string entry = "[Tunnels]\nServer0=" + served.TunnelEntry(tunnel) + "\n";
  TTempFolder::Write(settings, served.RemoteAdmin(served.ControlPort, "letmein") + entry);
  const auto relay = StartHeadless(folder, settings);
  ASSERT_TRUE(relay->WaitFor([&](const std::vector<std::string>&) { return TcpPortListening(served.ControlPort); }))
      << relay->Transcript();

  fs::remove(settings);
  relay->Signal(SIGHUP);
  EXPECT_TRUE(relay->WaitForError("not reloaded, the running ones stay: Unable to read " + settings.string() +
                                  ": No such file or directory")) << relay->Transcript();
  EXPECT_TRUE(served.Answers(tunnel)) << relay->Transcript();

  // An empty file asks for the defaults: no tunnel, and remote control with the default password.
  for (const std::string& content : {std::string(), served.RemoteAdmin(served.ControlPort, " MoonBeam ") + entry}) {
    TTempFolder::Write(settings, content);
    relay->Signal(SIGHUP);
    EXPECT_TRUE(relay->WaitForError("remote control stays off: its password is the default one")) << relay->Transcript();
    EXPECT_TRUE(relay->WaitFor([&](const std::vector<std::string>&) { return !TcpPortListening(served.ControlPort); }))
        << relay->Transcript();
  }
  EXPECT_TRUE(served.Answers(tunnel)) << "the tunnel is back with its entry";
}

// A reload of many tunnels in which only one stays as it was: its player is never held up.
TEST(HeadlessSettings, AReloadOfFifteenThousandTunnelsHoldsAnUnchangedTunnelsPlayerUpLessThanHalfASecond) {
  constexpr int kTunnels = 15000;
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_max < kTunnels + 1000) GTEST_SKIP() << "the descriptor limit is below " << kTunnels + 1000;
  TTempFolder folder;
  const TUdpPeer server;
  const uint16_t first = FreeUdpPortPair();
  const auto file = [&](int shift) {
    std::string text = "[General]\nAddPort=0\n[RemoteAdmin]\nTemporary=0\n[Tunnels]\nServer0=" +
                       std::to_string(first) + " 127.0.0.1:" + std::to_string(server.Port()) + "\n";
    // Below the system's ephemeral ports, which the other tests take theirs from; a port
    // some other program holds only costs that tunnel its bind.
    for (int i = 1; i < kTunnels; ++i)
      text += "Server" + std::to_string(i) + "=" + std::to_string(10000 + i) + " 127.0.0.1:" + std::to_string(shift + i) + "\n";
    return text;
  };
  const fs::path settings = folder.Path() / "gatewarden.ini";
  TTempFolder::Write(settings, file(1));
  THeadless relay(GW_HEADLESS_PATH, folder.Path(), {"--config", settings.string()}, TOutputSetup{.DescriptorLimit = limit.rlim_max});
  ASSERT_TRUE(relay.WaitForMessage("Tunnel open on " + Tunnel(first, "127.0.0.1", server.Port()))) << relay.Transcript();
  const TUdpPeer player;
  // Pings every 2 ms for `duration`, the server echoing; the longest wait for an answer.
  const auto longestWait = [&](TSteady::duration duration, const std::function<void()>& midway) {
    TSteady::duration longest{};
    TSteady::time_point last = TSteady::now();
    const auto end = last + duration;
    bool done = false;
    while (TSteady::now() < end) {
      if (!done && TSteady::now() > end - duration / 2) {
        midway();
        done = true;
      }
      player.SendTo(first, "ping");
      std::this_thread::sleep_for(2ms);
      while (const auto got = server.TryReceive()) server.SendTo(got->FromPort, got->Data);
      while (player.TryReceive()) {
        longest = std::max(longest, TSteady::now() - last);
        last = TSteady::now();
      }
    }
    return std::max(longest, TSteady::now() - last);
  };
#ifdef __SANITIZE_ADDRESS__
  // Sanitized code runs several times slower; a reload that held every tunnel would still
  // take far longer than this.
  constexpr auto kMostHeld = 2s;
#else
  constexpr auto kMostHeld = 500ms;
#endif
  longestWait(2s, [] {});
  EXPECT_LT(longestWait(3s, [&] { relay.Signal(SIGHUP); }), kMostHeld) << "reload of the same file";
  TTempFolder::Write(settings, file(2));
  EXPECT_LT(longestWait(4s, [&] { relay.Signal(SIGHUP); }), kMostHeld) << "reload with every other entry changed";
  relay.Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay.WaitExit(), 0)) << relay.Err();
}

TEST(HeadlessLifecycle, RefusesATunnelEntryItCannotReadAndLeavesTheFileAlone) {
  TTempFolder folder;
  const auto tunnel = FreeUdpPortPair();
  // The good entry before the bad one must not be served either: the program stops
  // before serving anything. (Any key name in this section is a tunnel.)
  const std::string original = "; written by hand\n"
                               "[General]\n"
                               "AddPort=1\n"
                               "[RemoteAdmin]\n"
                               "Temporary=0\n"
                               "[Tunnels]\n"
                               "Lobby=" + std::to_string(tunnel) + " 127.0.0.1:7777\n"
                               "Server0=7777 a:b:7777\n";
  const fs::path settings = folder.Path() / "broken.ini";
  TTempFolder::Write(settings, original);
  const fs::file_time_type before = Backdate(settings);

  const auto relay = StartHeadless(folder, settings);
  const std::optional<int> status = relay->WaitExit();
  ASSERT_TRUE(status) << "still running with an unreadable tunnel entry\n" << relay->Transcript();
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0) << "wait status " << *status;

  EXPECT_NE(relay->Err().find(settings.string()), std::string::npos) << relay->Err();
  EXPECT_NE(relay->Err().find("Server0=7777 a:b:7777"), std::string::npos) << relay->Err();
  EXPECT_EQ(relay->Out(), "") << "nothing may be served or logged";

  EXPECT_EQ(TTempFolder::Read(settings), original);
  EXPECT_EQ(fs::last_write_time(settings), before);
}

TEST(HeadlessLifecycle, HelpAndVersionPrintAndAnUnknownArgumentIsRefused) {
  TTempFolder folder;
  {
    THeadless help(GW_HEADLESS_PATH, folder.Path(), {"--help"});
    EXPECT_TRUE(ExitedWith(help.WaitExit(), 0)) << help.Transcript();
    EXPECT_NE(help.Out().find("Usage: gatewarden-headless"), std::string::npos) << help.Out();
    EXPECT_NE(help.Out().find("--config FILE"), std::string::npos) << help.Out();
    EXPECT_NE(help.Out().find("Exit status:"), std::string::npos) << help.Out();
    EXPECT_EQ(help.Err(), "");
  }
  {
    THeadless version(GW_HEADLESS_PATH, folder.Path(), {"--version"});
    EXPECT_TRUE(ExitedWith(version.WaitExit(), 0)) << version.Transcript();
    EXPECT_TRUE(std::regex_match(version.Out(), std::regex("gatewarden-headless [0-9]+\\.[0-9]+\n"))) << version.Out();
  }
  {
    THeadless wrong(GW_HEADLESS_PATH, folder.Path(), {"--verbose"});
    const std::optional<int> status = wrong.WaitExit();
    ASSERT_TRUE(status) << wrong.Transcript();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0) << wrong.Transcript();
    EXPECT_NE(wrong.Err().find("--verbose"), std::string::npos) << wrong.Err();
  }
  // Neither run reads or writes a settings file in the folder it runs in.
  EXPECT_TRUE(fs::is_empty(folder.Path()));
}

// =======================================================================================
// Master servers

// A master server of the test's own on loopback: each heartbeat is noted and answered with
// a challenge to the query port it names, whose answer comes from the game server through
// the relay.
TEST(HeadlessMasters, AStaticTunnelIsAnnouncedEveryIntervalWhileItsServerAnswersAndCheckNamesTheMasters) {
  TTempFolder folder;
  const uint16_t tunnel = FreeUdpPortPair();
  const uint16_t serverPort = FreeUdpPortPair();
  const TUdpPeer serverQuery(static_cast<uint16_t>(serverPort + 1));
  const TUdpPeer master;
  const std::string masterName = "127.0.0.1:" + std::to_string(master.Port());
  const fs::path settings = folder.Path() / "gatewarden.ini";
  TTempFolder::Write(settings, "[RemoteAdmin]\nTemporary=0\n[Tunnels]\nServer0=" + std::to_string(tunnel) + " 127.0.0.1:" +
                          std::to_string(serverPort) + "\n[Masters]\nServer0=" + masterName + "\nInterval=2\n");
  {
    THeadless check(GW_HEADLESS_PATH, folder.Path(), {"--check", "--config", settings.string()});
    EXPECT_TRUE(ExitedWith(check.WaitExit(), 0)) << check.Transcript();
    EXPECT_NE(check.Out().find("; heartbeats every 2 s as ut to " + masterName + "\n"), std::string::npos) << check.Out();
  }

  const auto relay = StartHeadless(folder, settings);
  const auto started = TSteady::now();
  bool answering = true;
  std::vector<TSteady::duration> heartbeats;
  std::string validate;
  // Serves the game server's query port and the master until `done` or the time is up.
  const auto serve = [&](TSteady::duration span, const std::function<bool()>& done) {
    const auto deadline = TSteady::now() + span;
    while (TSteady::now() < deadline) {
      while (const auto query = serverQuery.TryReceive()) {
        if (!answering) continue;
        serverQuery.SendTo(query->FromPort, query->Data.starts_with("\\secure\\")
                                                ? "\\validate\\8Qa7Kd3v\\final\\\\queryid\\1.1"
                                                : "\\hostname\\Arena\\hostport\\" + std::to_string(serverPort) +
                                                      "\\final\\\\queryid\\2.1");
      }
      while (const auto got = master.TryReceive()) {
        EXPECT_EQ(got->FromPort, tunnel + 1) << "a master answers where the heartbeat came from";
        if (!got->Data.starts_with("\\heartbeat\\")) {
          validate = got->Data;
          continue;
        }
        EXPECT_EQ(got->Data, "\\heartbeat\\" + std::to_string(tunnel + 1) + "\\gamename\\ut");
        heartbeats.push_back(TSteady::now() - started);
        master.SendTo(static_cast<uint16_t>(tunnel + 1), "\\secure\\wookie");
      }
      if (done()) return true;
      relay->WaitFor([](const std::vector<std::string>&) { return false; }, 5ms);
    }
    return false;
  };

  ASSERT_TRUE(serve(10s, [&] { return heartbeats.size() >= 3; })) << relay->Transcript();
  EXPECT_LT(heartbeats[0], 4s) << "the first heartbeat goes within seconds of the start";
  for (std::size_t i = 1; i < heartbeats.size(); ++i) {
    EXPECT_GT(heartbeats[i] - heartbeats[i - 1], 1500ms);
    EXPECT_LT(heartbeats[i] - heartbeats[i - 1], 4s);
  }
  EXPECT_EQ(validate, "\\validate\\8Qa7Kd3v\\final\\\\queryid\\1.1");
  const std::string tunnelText = Tunnel(tunnel, "127.0.0.1", serverPort);
  EXPECT_EQ(CountMessage(relay->Lines(), "Announced " + tunnelText + " to master " + masterName + " as query port " +
                                             std::to_string(tunnel + 1)),
            1)
      << relay->Transcript();

  // The game server falls silent: the heartbeats stop, and the log says why.
  answering = false;
  const std::string silent = "No heartbeats for " + tunnelText + ": its server does not answer queries";
  ASSERT_TRUE(serve(6s, [&] { return CountMessage(relay->Lines(), silent) == 1; })) << relay->Transcript();
  const std::size_t sent = heartbeats.size();
  serve(4s, [] { return false; });
  EXPECT_EQ(heartbeats.size(), sent) << relay->Transcript();

  relay->Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay->WaitExit(), 0)) << relay->Transcript();
}

} // namespace
