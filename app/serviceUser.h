#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace gw {

// Why the service's user could not read `path`, or nothing when it can or when that cannot
// be known here. The service runs as a user made for it at each start (DynamicUser=yes):
// neither the file's owner nor in its group, with no supplementary groups; a user alike
// (nobody) tries to open the file. Only root can become it; for others nothing is known.
std::optional<std::string> UnreadableByServiceUser(const std::filesystem::path& path);

} // namespace gw
