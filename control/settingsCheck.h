#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

class TIniText;

// A UDP or TCP port that a tunnel, a game server or the remote control can use: 1 to 65535.
// 0 would bind a port the system picks, which nobody could be told; a larger number would
// be cut to its low 16 bits, a silently different port.
constexpr int64_t kLowestPort = 1;
constexpr int64_t kHighestPort = 65535;
constexpr const char* kNotAPort = "not a port (1 to 65535)";
constexpr bool IsPort(int64_t number) { return number >= kLowestPort && number <= kHighestPort; }

// Why a server host given as a number cannot be a game server ("a multicast address", "the
// broadcast address", "the unspecified address"), or null. Names are not looked up here.
const char* UnservableHost(std::string_view host);
// The same for an address a name stands for, in network byte order.
const char* UnservableAddress(uint32_t address);

// What a settings file holds that the program never reads, one warning each: lines that are
// no entry, entries outside any section, sections and keys it does not know, and sections
// and keys given again (only the first is read). Tunnel entries of any name are known.
std::vector<std::string> UnreadParts(const TIniText& text, const std::filesystem::path& path);

} // namespace gw
