#pragma once

// What the bench tools share: options from the command line, loopback addresses, socket
// buffers. The tools only ever talk to 127.0.0.0/8.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>

namespace gw::bench {

// "--name value" pairs; a name given without a value is taken as "1".
class TOptions {
public:
  TOptions(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
      const std::string name = argv[i];
      if (name.rfind("--", 0) != 0) throw std::runtime_error("unexpected argument '" + name + "'");
      const bool hasValue = i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0;
      values_[name.substr(2)] = hasValue ? argv[++i] : "1";
    }
  }

  bool Has(const std::string& name) const { return values_.count(name) != 0; }
  std::string Text(const std::string& name, const std::string& fallback) const {
    const auto found = values_.find(name);
    return found == values_.end() ? fallback : found->second;
  }
  double Number(const std::string& name, double fallback) const {
    const auto found = values_.find(name);
    if (found == values_.end()) return fallback;
    char* end = nullptr;
    const double value = std::strtod(found->second.c_str(), &end);
    if (end == found->second.c_str() || *end != '\0')
      throw std::runtime_error("--" + name + " wants a number, not '" + found->second + "'");
    return value;
  }

private:
  std::map<std::string, std::string> values_;
};

// "127.x.y.z:port" or a bare port on 127.0.0.1; anything off the loopback range is refused,
// so a mistyped address can never send load elsewhere.
inline sockaddr_in LoopbackAddress(const std::string& text) {
  const auto colon = text.rfind(':');
  const std::string host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
  const int port = std::atoi(colon == std::string::npos ? text.c_str() : text.c_str() + colon + 1);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 || (ntohl(address.sin_addr.s_addr) >> 24) != 127 ||
      port < 0 || port > 65535)
    throw std::runtime_error("'" + text + "' is not an address on 127.0.0.0/8");
  return address;
}

[[noreturn]] inline void Die(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

// A UDP socket bound to `local`, with large buffers so that bursts of a thousand datagrams
// are queued rather than dropped by the tool itself (the kernel caps the size).
inline int BoundUdpSocket(const sockaddr_in& local, bool nonBlocking) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
  if (fd < 0) Die("socket");
  const int size = 4 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) Die("bind");
  return fd;
}

inline int LocalPort(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) Die("getsockname");
  return ntohs(local.sin_port);
}

} // namespace gw::bench
