#include "hostAbout.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <memory>

namespace gw {

void Resolve(ThostAbout& host) {
  in_addr numeric{};
  if (inet_pton(AF_INET, host.Location.c_str(), &numeric) == 1) {
    host.Address = numeric.s_addr;
    host.IPText = DottedText(host.Address);
    host.HostName = "NO REVERSE DNS!";
    return;
  }

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.Location.c_str(), nullptr, &hints, &found) == 0 && found) {
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, &freeaddrinfo);
    host.HostName = host.Location;
    host.Address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    host.IPText = DottedText(host.Address);
    return;
  }
  host.Address = 0;
  host.HostName.clear();
  host.IPText.clear();
  host.Location = "error";
}

std::string DottedText(uint32_t address) {
  char text[INET_ADDRSTRLEN];
  in_addr in{};
  in.s_addr = address;
  inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

} // namespace gw
