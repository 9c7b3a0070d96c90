#include "iniFile.h"

#include "atomicFile.h"
#include "iniText.h"
#include "uvHandle.h"

#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace gw {

namespace fs = std::filesystem;

namespace {

// The file's own name is in the error the caller wraps around these.
[[noreturn]] void ThrowLastError() { throw std::system_error(errno, std::generic_category()); }

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "no regular file";
}

void RequireRegular(const struct stat& status) {
  if (!S_ISREG(status.st_mode)) throw std::runtime_error(std::string("not a regular file but ") + KindOf(status.st_mode));
}

// The content of the settings file, or nothing when there is no such file (no entry of that
// name, or a folder on the way that is not a folder). Anything else that keeps it from being
// read raises, rather than pass for a missing file. Only a regular file is read: a FIFO would
// hold the program until some writer came, a device may never end.
std::optional<std::string> ReadSettingsFile(const fs::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    ThrowLastError();
  }
  RequireRegular(status);
  // Should the file be swapped for a FIFO after the look, opening it still does not wait.
  const TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.Valid()) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    ThrowLastError();
  }
  if (::fstat(fd.Get(), &status) != 0) ThrowLastError();
  RequireRegular(status);

  std::string content;
  // Read in pieces this large, on the stack: a file of a couple of thousand tunnels (some
  // 30 bytes each) in one read.
  char buffer[65536];
  for (;;) {
    const ssize_t count = ::read(fd.Get(), buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      ThrowLastError();
    }
    if (count == 0) return content;
    content.append(buffer, static_cast<size_t>(count));
    if (content.size() > TIniFile::kMaxBytes)
      throw std::runtime_error("larger than " + std::to_string(TIniFile::kMaxBytes) + " bytes");
  }
}

} // namespace

TIniFile::TIniFile(const fs::path& path) : path_(fs::absolute(path)) {}

TIniText TIniFile::Read(TIfMissing ifMissing) const {
  try {
    std::optional<std::string> content = ReadSettingsFile(path_);
    if (!content && ifMissing == TIfMissing::Fail) throw std::system_error(ENOENT, std::generic_category());
    return TIniText(std::move(content).value_or(std::string()));
  } catch (const std::exception&) {
    std::throw_with_nested(TIniReadError("Unable to read " + path_.string()));
  }
}

std::optional<std::string> TIniFile::ReadString(std::string_view section, std::string_view key) const {
  return Read().Value(section, key);
}

std::vector<std::string> TIniFile::ReadKeys(std::string_view section) const { return Read().Keys(section); }

void TIniFile::Update(const std::function<void(TIniText&)>& edit) {
  try {
    const std::optional<std::string> current = ReadSettingsFile(path_);
    TIniText text(current.value_or(std::string()));
    edit(text);
    const bool unchanged = current ? text.Content() == *current : text.Content().empty();
    if (unchanged) return;
    ReplaceFileAtomically(path_, text.Content());
  } catch (const std::runtime_error&) {
    // A failed system call, or a file that is no settings file to read and so none to replace.
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
