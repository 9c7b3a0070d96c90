#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace gw {

// Looks up an environment variable; nothing when it is not set.
using TEnvironment = std::function<std::optional<std::string>(const char* name)>;

// Where the programs keep "gatewarden.ini" when no --config names the file. A program run
// from its build folder (CMake's cache beside it) or a portable copy (the file already
// beside it) uses the file beside the executable; an installed one, whose folder is not the
// user's to write, uses $XDG_CONFIG_HOME/gatewarden/gatewarden.ini, with ~/.config when that
// variable is unset or not an absolute path.
std::filesystem::path SettingsPathFor(const std::filesystem::path& executableFolder, const TEnvironment& environment);

// SettingsPathFor the running executable and the process environment.
std::filesystem::path DefaultSettingsPath();

} // namespace gw
