#pragma once

#include "iniText.h"
#include "masters.h"

#include <filesystem>
#include <string>

namespace gw {

// [Masters] of the settings file:
//   Server0=HOST[:PORT]   a master's heartbeat address, port 27900 when absent; every key
//                         that starts with "Server" is one, in file order
//   Interval=60           seconds between heartbeats
//   GameName=ut
// No section, or no Server entry, announces nothing. An entry that does not read raises
// TSettingsError naming the file and the entry, as a tunnel entry does.
TMastersSettings ReadMasters(const TIniText& text, const std::filesystem::path& path);

// What --check says of them: "no masters", or the masters and how often.
std::string DescribeMasters(const TMastersSettings& masters);

} // namespace gw
