#include "serviceUser.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gw {

namespace {
// nobody/nogroup: owns nothing a settings file is owned by, as a dynamic user.
constexpr uid_t kStrangerUser = 65534;
constexpr gid_t kStrangerGroup = 65534;
// The child's status when it could not become the stranger: nothing is known.
constexpr int kUnknown = 255;
} // namespace

std::optional<std::string> UnreadableByServiceUser(const std::filesystem::path& path) {
  if (::geteuid() != 0) return std::nullopt;
  const pid_t child = ::fork();
  if (child < 0) return std::nullopt;
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kStrangerGroup) != 0 || ::setuid(kStrangerUser) != 0) ::_exit(kUnknown);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    // errno values are below 255.
    ::_exit(fd >= 0 ? 0 : errno);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0)
    if (errno != EINTR) return std::nullopt;
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == kUnknown) return std::nullopt;
  return std::strerror(WEXITSTATUS(status));
}

} // namespace gw
