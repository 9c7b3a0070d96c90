#pragma once

#include <cstdint>
#include <string>

namespace gw {

// A peer's address as it travels on the hot path: no text, no allocation.
struct TPeerAddress {
  uint32_t Address = 0; // IPv4, network byte order
  uint16_t Port = 0;    // host byte order; 0 marks a failed read

  // One number per address and port, the client table's key.
  uint64_t Key() const { return (uint64_t{Address} << 16) | Port; }
};

// The description of a destination, resolved from the text it was given as.
struct ThostAbout {
  uint32_t Address = 0;  // network byte order; 0 when unresolved
  std::string HostName;  // the name resolved from; "NO REVERSE DNS!" for a dotted address
  std::string IPText;    // dotted text of Address
  std::string Location;  // the text given; "error" after a failed lookup
  int Port = 0;          // host byte order
};

// Fills `host` from host.Location: a dotted address is taken as it stands, anything else
// is looked up (blocking). A failed lookup leaves Address 0 and Location "error"; it is not
// reported here, the next send to address 0 fails and is.
void Resolve(ThostAbout& host);

// "a.b.c.d" for a network-order address.
std::string DottedText(uint32_t address);

} // namespace gw
