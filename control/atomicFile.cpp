#include "atomicFile.h"

#include "uvHandle.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace gw {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void ThrowError(int error, const char* operation, const fs::path& path) {
  throw std::system_error(error, std::generic_category(), std::string(operation) + " " + path.string());
}

// errno is taken before anything else runs, since building the message may change it.
[[noreturn]] void ThrowLastError(const char* operation, const fs::path& path) { ThrowError(errno, operation, path); }

void WriteAll(int fd, std::string_view data, const fs::path& path) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      ThrowLastError("write", path);
    }
    data.remove_prefix(static_cast<size_t>(written));
  }
}

// Writing through a symbolic link would replace the link by a plain file; write its target.
// When lstat fails the path is used as it is, and the steps that follow report the failure.
fs::path WriteTarget(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) return fs::canonical(path);
  return path;
}

// The permission bits of an existing file, or none for a new one.
std::optional<mode_t> ExistingMode(const fs::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) return status.st_mode & 07777;
  if (errno != ENOENT) ThrowLastError("stat", path);
  return std::nullopt;
}

struct TTempFile {
  fs::path Path;
  TFd Fd;
};

// A fresh file beside the target. It is created exclusively, so it never takes over a file
// of the same name, such as one left by an earlier process with the same id that crashed.
TTempFile CreateTempFile(const fs::path& target) {
  static std::atomic<unsigned> serial{0};
  // Appended piece by piece: GCC 12 at -O2 and above reports a false -Wrestrict overlap in
  // the inlined insert of `"." + std::string&&` (its bug 105329).
  std::string prefix = ".";
  prefix.append(target.filename().string()).append(".tmp-").append(std::to_string(::getpid())).append("-");
  // Each attempt takes the next serial number, and only a file an earlier process of the
  // same id left can hold one, so a hundred names taken in a row are no such leftovers:
  // the save fails, told, rather than try on.
  constexpr int kAttempts = 100;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    fs::path candidate = target;
    candidate.replace_filename(prefix + std::to_string(serial++));
    TFd fd(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.Valid()) return {std::move(candidate), std::move(fd)};
    if (errno != EEXIST) ThrowLastError("create", candidate);
  }
  ThrowError(EEXIST, "create a temporary file beside", target);
}

void SyncFolder(const fs::path& folder) {
  const fs::path name = folder.empty() ? fs::path(".") : folder;
  const TFd fd(::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.Valid()) ThrowLastError("open", name);
  if (::fsync(fd.Get()) != 0) ThrowLastError("fsync", name);
}

} // namespace

void ReplaceFileAtomically(const fs::path& path, std::string_view content) {
  const fs::path target = WriteTarget(path);
  const std::optional<mode_t> mode = ExistingMode(target);
  TTempFile temp = CreateTempFile(target);
  try {
    if (mode && ::fchmod(temp.Fd.Get(), *mode) != 0) ThrowLastError("chmod", temp.Path);
    WriteAll(temp.Fd.Get(), content, temp.Path);
    if (::fsync(temp.Fd.Get()) != 0) ThrowLastError("fsync", temp.Path);
    // close can report a deferred write error (NFS, quota); the content is not safe before.
    if (const int error = temp.Fd.Reset(); error != 0) ThrowError(error, "close", temp.Path);
    if (::rename(temp.Path.c_str(), target.c_str()) != 0) ThrowLastError("rename to", target);
  } catch (...) {
    // The caller must hear of the first failure. Should removing the temporary file fail as
    // well, it stays visible beside the file, which does no harm to the file itself.
    ::unlink(temp.Path.c_str());
    throw;
  }
  SyncFolder(target.parent_path());
}

} // namespace gw
