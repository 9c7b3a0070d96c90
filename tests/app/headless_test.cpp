// The headless program run as its own process, the way an operator runs it: a settings
// file in a folder of its own, game clients and servers on 127.0.0.1, the remote-control
// port over TCP, signals to stop it. Everything waits with a deadline, and the child is
// killed and reaped on every way out of a test.
#include "udpPeer.h"
#include "uvHandle.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
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
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;
using gw::TFd;
using gw::test::TUdpPeer;

// Generous for a loaded machine, short enough that a test whose every wait runs out still
// ends well within half a minute.
constexpr auto kWait = 3s;

// ---------------------------------------------------------------------------------------
// Files and folders

class TTempDir {
public:
  TTempDir() {
    std::string pattern = (fs::temp_directory_path() / "gw-app-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary folder");
    path_ = pattern;
  }
  ~TTempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const fs::path& Path() const { return path_; }

private:
  fs::path path_;
};

void WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

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

// A TCP port that was free on all addresses a moment ago.
uint16_t FreeTcpPort() {
  TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = Address(INADDR_ANY, 0);
  socklen_t length = sizeof address;
  if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("test: no free TCP port");
  return ntohs(address.sin_port);
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

uint16_t FreeUdpPortPair() { return static_cast<uint16_t>(gw::test::FreeUdpPortPair()); }

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

const std::regex kStampedLine(R"(^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2}) (.*)$)");

// The text of a log line after its "YYYY-MM-DD HH:MM:SS " stamp; nothing for a line
// without one.
std::optional<std::string> MessageOf(const std::string& line) {
  std::smatch match;
  if (!std::regex_match(line, match, kStampedLine)) return std::nullopt;
  return match[7].str();
}

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

int CountMessage(const std::vector<std::string>& lines, const std::string& message) {
  int count = 0;
  for (const std::string& line : lines) count += MessageOf(line) == message ? 1 : 0;
  return count;
}

// ---------------------------------------------------------------------------------------
// The program as a child process

// How the child's standard output is set up.
struct TOutputSetup {
  // The pipe's capacity in bytes; 0 leaves the system's.
  int PipeSize = 0;
  // JOURNAL_STREAM names the pipe, as systemd does for a service whose output it reads.
  bool Journal = false;
  // More variables, "NAME=value".
  std::vector<std::string> Environment{};
  // The child's descriptor limit, soft and hard; 0 leaves the test's.
  rlim_t DescriptorLimit = 0;
};

class THeadless {
public:
  // Starts the program in `folder` with `args`; its standard output and error come back
  // through pipes that are read without blocking.
  THeadless(const fs::path& folder, const std::vector<std::string>& args, const TOutputSetup& setup = {}) {
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    TFd outRead(outPipe[0]), outWrite(outPipe[1]);
    if (::pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    TFd errRead(errPipe[0]), errWrite(errPipe[1]);
    TFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (setup.PipeSize > 0 && ::fcntl(outWrite.Get(), F_SETPIPE_SZ, setup.PipeSize) < 0)
      throw std::runtime_error("cannot resize the pipe");

    // Everything the child needs is prepared before the fork: after it, only calls that
    // are safe between fork and exec.
    std::vector<std::string> argvText{GW_HEADLESS_PATH};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argvText) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText;
    for (char** variable = environ; *variable != nullptr; ++variable)
      if (!std::string_view(*variable).starts_with("JOURNAL_STREAM=")) envText.emplace_back(*variable);
    if (setup.Journal) {
      struct stat pipe {};
      ::fstat(outWrite.Get(), &pipe);
      envText.push_back("JOURNAL_STREAM=" + std::to_string(pipe.st_dev) + ":" + std::to_string(pipe.st_ino));
    }
    envText.insert(envText.end(), setup.Environment.begin(), setup.Environment.end());
    const rlimit descriptors{setup.DescriptorLimit, setup.DescriptorLimit};
    std::vector<char*> envp;
    for (std::string& variable : envText) envp.push_back(variable.data());
    envp.push_back(nullptr);
    const std::string dir = folder.string();

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      // Should the test program die on the way, the relay goes with it.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if ((setup.DescriptorLimit > 0 && ::setrlimit(RLIMIT_NOFILE, &descriptors) != 0) || ::chdir(dir.c_str()) != 0 || ::dup2(devNull.Get(), 0) < 0 || ::dup2(outWrite.Get(), 1) < 0 ||
          ::dup2(errWrite.Get(), 2) < 0)
        ::_exit(126);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    for (TFd* reader : {&outRead, &errRead}) ::fcntl(reader->Get(), F_SETFL, ::fcntl(reader->Get(), F_GETFL) | O_NONBLOCK);
    out_ = std::move(outRead);
    err_ = std::move(errRead);
  }

  ~THeadless() {
    if (reaped_) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }

  THeadless(const THeadless&) = delete;
  THeadless& operator=(const THeadless&) = delete;

  void Signal(int sig) const { ::kill(pid_, sig); }

  // The reader of standard output goes away.
  void CloseOutput() { out_.Reset(); }
  // Bytes written to standard output that nobody has read yet.
  int UnreadOutput() const {
    int count = 0;
    return ::ioctl(out_.Get(), FIONREAD, &count) == 0 ? count : -1;
  }

  // The complete lines written to standard output so far.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    size_t begin = 0;
    for (size_t end; (end = out_text_.find('\n', begin)) != std::string::npos; begin = end + 1)
      lines.push_back(out_text_.substr(begin, end - begin));
    return lines;
  }
  const std::string& Out() const { return out_text_; }
  const std::string& Err() const { return err_text_; }

  // Reads the output until `done` holds for its lines or the time is up.
  bool WaitFor(const std::function<bool(const std::vector<std::string>&)>& done,
               TSteady::duration timeout = kWait) {
    const auto deadline = TSteady::now() + timeout;
    while (true) {
      if (done(Lines())) return true;
      if (TSteady::now() >= deadline) return false;
      Pump(20);
    }
  }

  bool WaitForError(const std::string& text) {
    return WaitFor([&](const std::vector<std::string>&) { return err_text_.find(text) != std::string::npos; });
  }

  bool WaitForMessage(const std::string& message, int count = 1) {
    return WaitFor([&](const std::vector<std::string>& lines) { return CountMessage(lines, message) >= count; });
  }

  // The wait status once the process has ended, or nothing if it is still running when
  // the time is up.
  std::optional<int> WaitExit(TSteady::duration timeout = kWait) {
    const auto deadline = TSteady::now() + timeout;
    while (!reaped_) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        status_ = status;
        break;
      }
      if (TSteady::now() >= deadline) return std::nullopt;
      Pump(20);
    }
    // What the process wrote last is still in the pipes.
    const auto drained = TSteady::now() + 1s;
    while ((out_.Valid() || err_.Valid()) && TSteady::now() < drained) Pump(20);
    return status_;
  }

  // What the program said, for the message of a failed check.
  std::string Transcript() const { return "--- stdout:\n" + out_text_ + "--- stderr:\n" + err_text_; }

private:
  void Pump(int waitMs) {
    pollfd fds[2];
    std::string* texts[2];
    TFd* owners[2];
    nfds_t count = 0;
    for (auto [fd, text] : {std::pair{&out_, &out_text_}, std::pair{&err_, &err_text_}}) {
      if (!fd->Valid()) continue;
      fds[count] = pollfd{fd->Get(), POLLIN, 0};
      texts[count] = text;
      owners[count] = fd;
      ++count;
    }
    if (count == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
      return;
    }
    if (::poll(fds, count, waitMs) <= 0) return;
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      char buffer[4096];
      while (true) {
        const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          texts[i]->append(buffer, static_cast<size_t>(n));
          continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
        owners[i]->Reset(); // end of file: the process has closed its side
        break;
      }
    }
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  TFd out_;
  TFd err_;
  std::string out_text_;
  std::string err_text_;
};

// Starts the program on `settings`, a file in `folder`.
std::unique_ptr<THeadless> StartHeadless(const TTempDir& folder, const fs::path& settings) {
  return std::make_unique<THeadless>(folder.Path(), std::vector<std::string>{"--config", settings.string()});
}

bool ExitedWith(const std::optional<int>& status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

// ---------------------------------------------------------------------------------------
// Remote-control client

class TTcpClient {
public:
  // Connects to 127.0.0.1:`port`, trying again while the listener is not up yet.
  explicit TTcpClient(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const auto deadline = TSteady::now() + kWait;
    while (true) {
      TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        fd_ = std::move(fd);
        break;
      }
      if (TSteady::now() >= deadline) throw std::runtime_error("test: cannot connect to the remote-control port");
      std::this_thread::sleep_for(20ms);
    }
    ::fcntl(fd_.Get(), F_SETFL, ::fcntl(fd_.Get(), F_GETFL) | O_NONBLOCK);
  }

  void Send(std::string_view text) const {
    if (::send(fd_.Get(), text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
      throw std::runtime_error("test: remote-control send failed");
  }

  // What arrives until at least `size` bytes are in or the time is up.
  std::string Receive(size_t size) const {
    std::string received;
    const auto deadline = TSteady::now() + kWait;
    while (received.size() < size && TSteady::now() < deadline) {
      pollfd fd{fd_.Get(), POLLIN, 0};
      if (::poll(&fd, 1, 20) <= 0) continue;
      char buffer[512];
      const ssize_t n = ::recv(fd_.Get(), buffer, sizeof buffer, 0);
      if (n == 0) break;
      if (n > 0) received.append(buffer, static_cast<size_t>(n));
    }
    return received;
  }

  std::string Request(std::string_view text, const std::string& expectedReply) const {
    Send(text);
    return Receive(expectedReply.size());
  }

private:
  TFd fd_;
};

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
std::optional<gw::test::TReceived> ReceiveOne(const TUdpPeer& peer) {
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
  TTempDir folder;
  const auto [tunnelA, tunnelB] = TwoFreeUdpPortPairs();
  // The first server also has its query port beside it, which the tunnel's second
  // endpoint relays to.
  const uint16_t serverAPort = FreeUdpPortPair();
  const TUdpPeer serverA(serverAPort);
  const TUdpPeer serverAQuery(static_cast<uint16_t>(serverAPort + 1));
  const TUdpPeer serverB;

  const fs::path settings = folder.Path() / "relay.ini";
  WriteFile(settings, "[General]\nAddPort=1\n[RemoteAdmin]\nTemporary=0\n[Tunnels]\n"
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
  TTempDir folder;
  const uint16_t controlPort = FreeTcpPort();
  const uint16_t firstTemporary = FirstTemporaryPort();
  const TUdpPeer server;

  const fs::path settings = folder.Path() / "remote.ini";
  WriteFile(settings, "[RemoteAdmin]\nTemporary=1\nPassword=letmein\nPort=" + std::to_string(controlPort) +
                          "\nFromPort=" + std::to_string(firstTemporary) +
                          "\nToPort=" + std::to_string(firstTemporary + 100) + "\n");
  const auto relay = StartHeadless(folder, settings);

  const TTcpClient game(controlPort);
  ASSERT_TRUE(relay->WaitForMessage("Got remote control connection")) << relay->Transcript();
  const std::string created = "tunnel|" + std::to_string(firstTemporary) + "\n\r";
  EXPECT_EQ(game.Request("create|letmein|127.0.0.1:" + std::to_string(server.Port()), created), created)
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
  const TTcpClient intruder(controlPort);
  ASSERT_TRUE(relay->WaitForMessage("Got remote control connection", 2)) << relay->Transcript();
  const std::string refused = "error|Incorrect password\n\r";
  EXPECT_EQ(intruder.Request("create|Not-LetMeIn|127.0.0.1:" + std::to_string(server.Port()), refused), refused);
  EXPECT_TRUE(relay->WaitForMessage("Bad password (not-letmein) given to remote control")) << relay->Transcript();
  int tunnelsOpened = 0;
  for (const std::string& line : relay->Lines())
    tunnelsOpened += MessageOf(line).value_or("").starts_with("Tunnel open on ") ? 1 : 0;
  EXPECT_EQ(tunnelsOpened, 1) << relay->Transcript();

  // The first connection is still served after the other one's failure.
  const std::string next = "tunnel|" + std::to_string(firstTemporary + 1) + "\n\r";
  EXPECT_EQ(game.Request("create|letmein|127.0.0.1:" + std::to_string(server.Port()), next), next)
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
  TTempDir folder;
  const TServedRelay served;
  const uint16_t tunnel = FreeUdpPortPair();
  const std::string original = "; kept by the administrator\n[General]\nAddPort=0\n" +
                               served.RemoteAdmin(served.ControlPort, "Sesame") +
                               "[Tunnels]\nServer0=" + served.TunnelEntry(tunnel) + "\n";
  const fs::path settings = folder.Path() / "gatewarden.ini";
  WriteFile(settings, original);

  const auto relay = StartHeadless(folder, settings);
  ASSERT_TRUE(relay->WaitForMessage("Tunnel open on " + Tunnel(tunnel, "127.0.0.1", served.Server.Port())))
      << relay->Transcript();
  const TTcpClient game(served.ControlPort);
  const std::string created = "tunnel|" + std::to_string(served.FirstTemporary) + "\n\r";
  ASSERT_EQ(game.Request("create|SESAME|127.0.0.1:7777", created), created) << relay->Transcript();

  // The administrator edits the file while the relay runs: the stop must not undo it.
  const std::string edited = "[General]\nAddPort=1\n" + served.RemoteAdmin(served.ControlPort, "changed");
  WriteFile(settings, edited);
  const fs::file_time_type before = Backdate(settings);
  struct stat was {};
  ::stat(settings.c_str(), &was);

  relay->Signal(SIGTERM);
  const std::optional<int> status = relay->WaitExit();
  ASSERT_TRUE(status) << "still running after SIGTERM\n" << relay->Transcript();
  EXPECT_TRUE(ExitedWith(status, 0)) << "wait status " << *status << "\n" << relay->Transcript();

  struct stat is {};
  ::stat(settings.c_str(), &is);
  EXPECT_EQ(ReadFile(settings), edited);
  EXPECT_EQ(fs::last_write_time(settings), before);
  EXPECT_EQ(is.st_ino, was.st_ino) << "the file was replaced";
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.Path()), fs::directory_iterator()), 1)
      << "nothing else is written beside it";
  EXPECT_EQ(relay->Err(), "");
}

TEST(HeadlessSettings, SighupRereadsTheFileRestartsStaticTunnelsAndKeepsTemporaryOnes) {
  TTempDir folder;
  const TServedRelay served;
  const auto [before, after] = TwoFreeUdpPortPairs();
  const uint16_t newControlPort = FreeTcpPort();
  const fs::path settings = folder.Path() / "gatewarden.ini";
  WriteFile(settings, served.RemoteAdmin(served.ControlPort, "letmein") + "[Tunnels]\nServer0=" +
                          served.TunnelEntry(before) + "\n");

  const auto relay = StartHeadless(folder, settings);
  ASSERT_TRUE(relay->WaitForMessage("Tunnel open on " + Tunnel(before, "127.0.0.1", served.Server.Port())))
      << relay->Transcript();
  const TTcpClient game(served.ControlPort);
  const std::string created = "tunnel|" + std::to_string(served.FirstTemporary) + "\n\r";
  ASSERT_EQ(game.Request("create|letmein|127.0.0.1:" + std::to_string(served.Server.Port()), created), created)
      << relay->Transcript();

  // Another tunnel, another remote-control port and password.
  const std::string edited = served.RemoteAdmin(newControlPort, "other") + "[Tunnels]\nServer0=" +
                             served.TunnelEntry(after) + "\n";
  WriteFile(settings, edited);
  relay->Signal(SIGHUP);
  ASSERT_TRUE(relay->WaitForMessage("Tunnel open on " + Tunnel(after, "127.0.0.1", served.Server.Port())))
      << relay->Transcript();
  EXPECT_EQ(CountMessage(relay->Lines(), "Settings reloaded from " + settings.string()), 1) << relay->Transcript();

  EXPECT_TRUE(served.Answers(after)) << relay->Transcript();
  EXPECT_TRUE(UdpPortFree(before)) << "the tunnel that left the file still holds its port";
  EXPECT_TRUE(served.Answers(served.FirstTemporary)) << "the temporary tunnel went with the reload";
  const TTcpClient moved(newControlPort);
  const std::string next = "tunnel|" + std::to_string(served.FirstTemporary + 1) + "\n\r";
  EXPECT_EQ(moved.Request("create|other|127.0.0.1:" + std::to_string(served.Server.Port()), next), next)
      << relay->Transcript();

  // A file that no longer reads: the running settings stay, and standard error says why.
  WriteFile(settings, edited + "Server1=7777 a:b:7777\n");
  relay->Signal(SIGHUP);
  EXPECT_TRUE(relay->WaitForError("Server1=7777 a:b:7777")) << relay->Transcript();
  EXPECT_TRUE(served.Answers(after)) << relay->Transcript();
  EXPECT_EQ(CountMessage(relay->Lines(), "Settings reloaded from " + settings.string()), 1) << relay->Transcript();

  relay->Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay->WaitExit(), 0)) << relay->Transcript();
}

TEST(HeadlessLifecycle, ARemoteControlPortTakenAtStartEndsWithStatus1NamingThePort) {
  TTempDir folder;
  const TServedRelay served;
  const uint16_t tunnel = FreeUdpPortPair();
  // Another program listens on the port.
  TFd taken(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(served.ControlPort);
  ASSERT_EQ(::bind(taken.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(taken.Get(), 1), 0);

  const fs::path settings = folder.Path() / "gatewarden.ini";
  WriteFile(settings, served.RemoteAdmin(served.ControlPort, "letmein") + "[Tunnels]\nServer0=" +
                          served.TunnelEntry(tunnel) + "\n");
  const auto relay = StartHeadless(folder, settings);
  EXPECT_TRUE(ExitedWith(relay->WaitExit(), 1)) << relay->Transcript();
  EXPECT_NE(relay->Err().find("TCP port " + std::to_string(served.ControlPort) + ":"), std::string::npos)
      << relay->Err();
  EXPECT_NE(relay->Err().find("Address already in use"), std::string::npos) << relay->Err();
}

// =======================================================================================
// Its output

TEST(HeadlessOutput, AReaderThatGoesAwayDoesNotEndTheRelay) {
  TTempDir folder;
  const TServedRelay served;
  const fs::path settings = folder.Path() / "gatewarden.ini";
  WriteFile(settings, served.RemoteAdmin(served.ControlPort, "letmein"));
  const auto relay = StartHeadless(folder, settings);

  const TTcpClient first(served.ControlPort);
  ASSERT_TRUE(relay->WaitForMessage("Got remote control connection")) << relay->Transcript();
  relay->CloseOutput();
  // Every line from now on meets a broken pipe.
  const TTcpClient game(served.ControlPort);
  const std::string created = "tunnel|" + std::to_string(served.FirstTemporary) + "\n\r";
  EXPECT_EQ(game.Request("create|letmein|127.0.0.1:" + std::to_string(served.Server.Port()), created), created)
      << relay->Transcript();
  EXPECT_TRUE(served.Answers(served.FirstTemporary)) << relay->Transcript();
  EXPECT_TRUE(relay->WaitForError("standard output failed")) << relay->Transcript();

  relay->Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay->WaitExit(), 0)) << relay->Transcript();
}

TEST(HeadlessOutput, AStalledReaderHoldsNothingUpAndLearnsHowManyLinesWereDropped) {
  TTempDir folder;
  const TServedRelay served;
  const uint16_t tunnel = FreeUdpPortPair();
  // Each reload tells every line of the file that is not read: a reader that takes none of
  // them is soon far behind.
  const fs::path settings = folder.Path() / "gatewarden.ini";
  const auto write = [&](int round) {
    std::string unread;
    for (int i = 1; i <= 200; ++i) unread += "Unread" + std::to_string(i) + "=" + std::to_string(round) + "\n";
    WriteFile(settings, "[General]\nAddPort=0\n" + unread + served.RemoteAdmin(served.ControlPort, "letmein") +
                            "[Tunnels]\nServer0=" + served.TunnelEntry(tunnel) + "\n");
  };
  write(0);
  constexpr int kPipeSize = 4096;
  THeadless relay(folder.Path(), {"--config", settings.string()}, TOutputSetup{.PipeSize = kPipeSize});
  const TTcpClient started(served.ControlPort);
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
  TTempDir folder;
  const TServedRelay served;
  const auto [tunnel, taken] = TwoFreeUdpPortPairs();
  const TUdpPeer squatter(taken);
  const fs::path settings = folder.Path() / "gatewarden.ini";
  WriteFile(settings, "[General]\nAddPort=0\n[RemoteAdmin]\nTemporary=0\n[Tunnels]\nServer0=" +
                          served.TunnelEntry(tunnel) + "\nServer1=" + served.TunnelEntry(taken) + "\n");
  THeadless relay(folder.Path(), {"--config", settings.string()}, TOutputSetup{.Journal = true});
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
  TTempDir folder;
  const TServedRelay served;
  const fs::path socketPath = folder.Path() / "notify";
  TFd manager(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(manager.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const fs::path settings = folder.Path() / "gatewarden.ini";
  WriteFile(settings, "[RemoteAdmin]\nTemporary=0\n[Tunnels]\nServer0=" + served.TunnelEntry(FreeUdpPortPair()) + "\n");
  THeadless relay(folder.Path(), {"--config", settings.string()},
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
  TTempDir folder;
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
      THeadless relay(folder.Path(), args);
      EXPECT_TRUE(ExitedWith(relay.WaitExit(), 2)) << relay.Transcript();
      EXPECT_NE(relay.Err().find("Unable to read " + path.string() + ": " + reason), std::string::npos) << relay.Err();
    }
  }
  // A good file: --check says what it holds, and serves nothing.
  const uint16_t tunnel = FreeUdpPortPair();
  const fs::path good = folder.Path() / "good.ini";
  WriteFile(good, "[RemoteAdmin]\nTemporary=1\n[Tunnels]\nServer0=" + std::to_string(tunnel) + " 127.0.0.1:7777\n");
  THeadless check(folder.Path(), {"--check", "--config", good.string()});
  EXPECT_TRUE(ExitedWith(check.WaitExit(), 0)) << check.Transcript();
  EXPECT_EQ(check.Out(), "gatewarden-headless: " + good.string() + ": 1 static tunnels on " + std::to_string(tunnel) +
                             " (each with its query port); remote control stays off: its password is the default " +
                             "one, with which anyone could make tunnels to any host (set Password in [RemoteAdmin]); " +
                             "metrics off; fast path off (FastPath=0); no masters\n");
  EXPECT_TRUE(UdpPortFree(tunnel));
}

TEST(HeadlessSettings, MoreTunnelsThanTheDescriptorLimitCanServeAreRefusedNamingBoth) {
  TTempDir folder;
  std::string tunnels = "[Tunnels]\n";
  for (int i = 0; i < 100; ++i) tunnels += "Server" + std::to_string(i) + "=" + std::to_string(20000 + 2 * i) + " h:1\n";
  const fs::path settings = folder.Path() / "gatewarden.ini";
  WriteFile(settings, tunnels);
  THeadless relay(folder.Path(), {"--config", settings.string()}, TOutputSetup{.DescriptorLimit = 256});
  EXPECT_TRUE(ExitedWith(relay.WaitExit(), 2)) << relay.Transcript();
  EXPECT_NE(relay.Err().find("100 tunnels need 200 sockets, more than the descriptor limit of 256"), std::string::npos)
      << relay.Err();
}

// Neither a guessable password nor a file gone at reload opens the relay to strangers or
// closes its tunnels.
TEST(HeadlessSettings, RemoteControlNeverOpensWithTheDefaultPasswordNorAReloadOfAMissingFileChangesAnything) {
  TTempDir folder;
  const TServedRelay served;
  const uint16_t tunnel = FreeUdpPortPair();
  const fs::path settings = folder.Path() / "gatewarden.ini";
  const std::string entry = "[Tunnels]\nServer0=" + served.TunnelEntry(tunnel) + "\n";
  WriteFile(settings, served.RemoteAdmin(served.ControlPort, "letmein") + entry);
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
    WriteFile(settings, content);
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
  TTempDir folder;
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
  WriteFile(settings, file(1));
  THeadless relay(folder.Path(), {"--config", settings.string()}, TOutputSetup{.DescriptorLimit = limit.rlim_max});
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
  WriteFile(settings, file(2));
  EXPECT_LT(longestWait(4s, [&] { relay.Signal(SIGHUP); }), kMostHeld) << "reload with every other entry changed";
  relay.Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(relay.WaitExit(), 0)) << relay.Err();
}

TEST(HeadlessLifecycle, RefusesATunnelEntryItCannotReadAndLeavesTheFileAlone) {
  TTempDir folder;
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
  WriteFile(settings, original);
  const fs::file_time_type before = Backdate(settings);

  const auto relay = StartHeadless(folder, settings);
  const std::optional<int> status = relay->WaitExit();
  ASSERT_TRUE(status) << "still running with an unreadable tunnel entry\n" << relay->Transcript();
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0) << "wait status " << *status;

  EXPECT_NE(relay->Err().find(settings.string()), std::string::npos) << relay->Err();
  EXPECT_NE(relay->Err().find("Server0=7777 a:b:7777"), std::string::npos) << relay->Err();
  EXPECT_EQ(relay->Out(), "") << "nothing may be served or logged";

  EXPECT_EQ(ReadFile(settings), original);
  EXPECT_EQ(fs::last_write_time(settings), before);
}

TEST(HeadlessLifecycle, HelpAndVersionPrintAndAnUnknownArgumentIsRefused) {
  TTempDir folder;
  {
    THeadless help(folder.Path(), {"--help"});
    EXPECT_TRUE(ExitedWith(help.WaitExit(), 0)) << help.Transcript();
    EXPECT_NE(help.Out().find("Usage: gatewarden-headless"), std::string::npos) << help.Out();
    EXPECT_NE(help.Out().find("--config FILE"), std::string::npos) << help.Out();
    EXPECT_NE(help.Out().find("Exit status:"), std::string::npos) << help.Out();
    EXPECT_EQ(help.Err(), "");
  }
  {
    THeadless version(folder.Path(), {"--version"});
    EXPECT_TRUE(ExitedWith(version.WaitExit(), 0)) << version.Transcript();
    EXPECT_TRUE(std::regex_match(version.Out(), std::regex("gatewarden-headless [0-9]+\\.[0-9]+\n"))) << version.Out();
  }
  {
    THeadless wrong(folder.Path(), {"--verbose"});
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
  TTempDir folder;
  const uint16_t tunnel = FreeUdpPortPair();
  const uint16_t serverPort = FreeUdpPortPair();
  const TUdpPeer serverQuery(static_cast<uint16_t>(serverPort + 1));
  const TUdpPeer master;
  const std::string masterName = "127.0.0.1:" + std::to_string(master.Port());
  const fs::path settings = folder.Path() / "gatewarden.ini";
  WriteFile(settings, "[RemoteAdmin]\nTemporary=0\n[Tunnels]\nServer0=" + std::to_string(tunnel) + " 127.0.0.1:" +
                          std::to_string(serverPort) + "\n[Masters]\nServer0=" + masterName + "\nInterval=2\n");
  {
    THeadless check(folder.Path(), {"--check", "--config", settings.string()});
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
