#include "udpPeer.h"

#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace gw::test {

namespace {

TFd BoundUdpSocket(uint32_t host, uint16_t port) {
  TFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  sockaddr_in address = Loopback(port);
  address.sin_addr.s_addr = htonl(host);
  if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return TFd();
  return fd;
}

uint16_t BoundPort(const TFd& fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

} // namespace

TUdpPeer::TUdpPeer(uint16_t port, uint32_t host) : fd_(BoundUdpSocket(host, port)) {
  if (!fd_.Valid()) throw std::runtime_error("test peer: cannot bind");
  port_ = BoundPort(fd_);
}

void TUdpPeer::SendTo(uint16_t port, std::string_view data) const {
  const sockaddr_in to = Loopback(port);
  if (::sendto(fd_.Get(), data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
    throw std::runtime_error("test peer: send failed");
}

std::optional<TReceived> TUdpPeer::TryReceive() const {
  std::vector<char> buffer(65536);
  sockaddr_in from{};
  socklen_t length = sizeof from;
  const ssize_t n = ::recvfrom(fd_.Get(), buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0) return std::nullopt;
  return TReceived{std::string(buffer.data(), static_cast<size_t>(n)), ntohs(from.sin_port)};
}

bool SendFromPortZero(uint16_t port, std::string_view data) {
  TFd raw(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!raw.Valid()) return false;
  // The kernel adds the IP header; the UDP header is ours, with no checksum.
  std::string packet(8, '\0');
  const uint16_t header[4] = {0, htons(port), htons(static_cast<uint16_t>(8 + data.size())), 0};
  std::memcpy(packet.data(), header, sizeof header);
  packet += data;
  const sockaddr_in to = Loopback(0);
  return ::sendto(raw.Get(), packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(packet.size());
}

uint16_t FreeUdpPortPair() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    TFd first = BoundUdpSocket(INADDR_ANY, 0);
    const uint16_t port = BoundPort(first);
    if (port == 65535) continue;
    if (BoundUdpSocket(INADDR_ANY, static_cast<uint16_t>(port + 1)).Valid()) return port;
  }
  throw std::runtime_error("test: no free pair of UDP ports");
}

} // namespace gw::test
