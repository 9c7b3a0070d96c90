#include "settingsPath.h"

#include <cstdlib>

namespace gw {

namespace fs = std::filesystem;

namespace {
constexpr const char* kFileName = "gatewarden.ini";
}

fs::path SettingsPathFor(const fs::path& executableFolder, const TEnvironment& environment) {
  std::error_code ignored;
  if (fs::exists(executableFolder / "CMakeCache.txt", ignored) || fs::exists(executableFolder / kFileName, ignored))
    return executableFolder / kFileName;

  fs::path base;
  if (const std::optional<std::string> config = environment("XDG_CONFIG_HOME"); config && fs::path(*config).is_absolute())
    base = *config;
  else
    base = fs::path(environment("HOME").value_or("")) / ".config";
  return base / "gatewarden" / kFileName;
}

fs::path DefaultSettingsPath() {
  return SettingsPathFor(fs::read_symlink("/proc/self/exe").parent_path(), [](const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  });
}

} // namespace gw
