#include "tcpPeer.h"

#include "loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <stdexcept>
#include <thread>

namespace gw::test {

TTcpPeer::TTcpPeer(uint16_t port, uint32_t from) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in source = Loopback(0);
  source.sin_addr.s_addr = htonl(from);
  if (::bind(fd_.Get(), reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0)
    throw std::runtime_error("test peer: cannot bind");
  const sockaddr_in to = Loopback(port);
  // The listener's backlog takes the connection before the loop accepts it.
  if (::connect(fd_.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
    throw std::runtime_error("test peer: cannot connect");
  ::fcntl(fd_.Get(), F_SETFL, O_NONBLOCK);
}

TTcpPeer TTcpPeer::Await(uint16_t port, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (true) {
    try {
      return TTcpPeer(port);
    } catch (const std::runtime_error&) {
      if (std::chrono::steady_clock::now() >= deadline) throw;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string TTcpPeer::Receive(size_t size, std::chrono::milliseconds patience) const {
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (received.size() < size && std::chrono::steady_clock::now() < deadline) {
    pollfd ready{fd_.Get(), POLLIN, 0};
    if (::poll(&ready, 1, 20) <= 0) continue;
    char buffer[512];
    const ssize_t n = ::recv(fd_.Get(), buffer, sizeof buffer, 0);
    if (n == 0) break;
    if (n > 0) received.append(buffer, static_cast<size_t>(n));
  }
  return received;
}

void TTcpPeer::Send(std::string_view data) const {
  if (::send(fd_.Get(), data.data(), data.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(data.size()))
    throw std::runtime_error("test peer: send failed");
}

std::string TTcpPeer::TryReceive() const {
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = ::recv(fd_.Get(), buffer, sizeof buffer, 0)) > 0) text.append(buffer, static_cast<size_t>(got));
  return text;
}

void TTcpPeer::Reset() {
  const linger abort{1, 0};
  ::setsockopt(fd_.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  fd_.Reset();
}

bool TTcpPeer::SeesEnd() const {
  char probe;
  return ::recv(fd_.Get(), &probe, 1, MSG_PEEK) == 0;
}

uint16_t FreeTcpPort() {
  TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  // On all addresses, as the listener binds: a port held on another loopback address (a
  // connection's, say, or one in TIME_WAIT) would stop it.
  sockaddr_in address = Loopback(0);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t length = sizeof address;
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("test: no free TCP port");
  return ntohs(address.sin_port);
}

} // namespace gw::test
