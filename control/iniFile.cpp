#include "iniFile.h"

#include "atomicFile.h"
#include "iniText.h"

#include <exception>
#include <system_error>

namespace gw {

TIniFile::TIniFile(const std::filesystem::path& path) : path_(std::filesystem::absolute(path)) {}

TIniText TIniFile::Read() const {
  try {
    return TIniText(ReadFileIfPresent(path_).value_or(std::string()));
  } catch (const std::system_error&) {
    std::throw_with_nested(TIniReadError("Unable to read " + path_.string()));
  }
}

std::optional<std::string> TIniFile::ReadString(std::string_view section, std::string_view key) const {
  return Read().Value(section, key);
}

std::vector<std::string> TIniFile::ReadKeys(std::string_view section) const { return Read().Keys(section); }

void TIniFile::Update(const std::function<void(TIniText&)>& edit) {
  try {
    const std::optional<std::string> current = ReadFileIfPresent(path_);
    TIniText text(current.value_or(std::string()));
    edit(text);
    const bool unchanged = current ? text.Content() == *current : text.Content().empty();
    if (unchanged) return;
    ReplaceFileAtomically(path_, text.Content());
  } catch (const std::system_error&) {
    std::throw_with_nested(TIniWriteError("Unable to write to " + path_.string()));
  }
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  Update([&](TIniText& text) { text.Set(section, key, value); });
}

void TIniFile::EraseSection(std::string_view section) {
  Update([&](TIniText& text) { text.EraseSection(section); });
}

} // namespace gw
