#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace gw {

class TIniText;

// "Unable to write to <full path>"; the failure behind it is nested (std::rethrow_if_nested).
class TIniWriteError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// "Unable to read <full path>": the file exists but cannot be read, or is no file to read
// (a FIFO, a device, larger than kMaxBytes), or is missing where it must exist; the reason is
// nested. Reading it as empty would let the next save replace the user's settings with
// defaults, and a reload close every tunnel.
class TIniReadError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// What reading makes of a file that is not there.
enum class TIfMissing {
  ReadEmpty, // a program that finds its own file: no file yet means the defaults
  Fail,      // a file the user named, or one read again: its absence is a mistake to report
};

// The settings file, with the semantics of the Windows profile functions (see TIniText for
// the text rules). Like those functions it keeps no copy: every call reads the file, and every
// write reads it again, edits it and replaces it atomically, so edits made to the file by hand
// in the meantime are kept. A missing file reads as empty and is created by the first write
// that changes something; a write that would leave the content as it is touches nothing.
class TIniFile {
public:
  // A relative path is taken from the current folder now, so error texts show the full path.
  explicit TIniFile(const std::filesystem::path& path);

  const std::filesystem::path& Path() const { return path_; }

  // The value of the first entry with that key in the first section of that name, without
  // enclosing blanks and quotes, cut to 2047 characters; none when there is no such entry.
  std::optional<std::string> ReadString(std::string_view section, std::string_view key) const;
  // The key names of the first section of that name, in file order, duplicates included.
  std::vector<std::string> ReadKeys(std::string_view section) const;

  // Raise TIniWriteError when the file cannot be read or replaced; the file is then as it
  // was. Names or a value the file cannot hold raise std::invalid_argument (TIniText::Set).
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  // Removes every section of that name with all its entries.
  void EraseSection(std::string_view section);
  // Several edits as one replacement of the file: it holds all of them or none.
  void Update(const std::function<void(TIniText&)>& edit);
  // The whole file at once, for reading many values from one state of it.
  TIniText Read(TIfMissing ifMissing = TIfMissing::ReadEmpty) const;

  // Only a regular file is read, never more than this: far above any file whose tunnels the
  // descriptor limit lets the relay serve (a tunnel entry is about 30 bytes), and small
  // enough that a file that grows without end (/dev/zero behind a link) costs little.
  static constexpr std::size_t kMaxBytes = 16 * 1024 * 1024;

private:

  std::filesystem::path path_;
};

} // namespace gw
