#pragma once

// The headless program run as its own process, the way an operator runs it: standard output
// and error read through pipes without blocking, every wait with a deadline, and the child
// killed and reaped on every way out of a test.
#include "uvHandle.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace gw::test {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;

// Generous for a loaded machine, short enough that a test whose every wait runs out still
// ends well within half a minute.
inline constexpr auto kHeadlessWait = std::chrono::seconds(3);

// A log line: "YYYY-MM-DD HH:MM:SS " and its text.
inline const std::regex kStampedLine(R"(^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2}) (.*)$)");

// The text of a log line after its "YYYY-MM-DD HH:MM:SS " stamp; nothing for a line
// without one.
inline std::optional<std::string> MessageOf(const std::string& line) {
  std::smatch match;
  if (!std::regex_match(line, match, kStampedLine)) return std::nullopt;
  return match[7].str();
}


inline int CountMessage(const std::vector<std::string>& lines, const std::string& message) {
  int count = 0;
  for (const std::string& line : lines) count += MessageOf(line) == message ? 1 : 0;
  return count;
}


// How the child's standard output is set up.
struct TOutputSetup {
  // The pipe's capacity in bytes; 0 leaves the system's.
  int PipeSize = 0;
  // JOURNAL_STREAM names the pipe, as systemd does for a service whose output it reads.
  bool Journal = false;
  // More variables, "NAME=value".
  std::vector<std::string> Environment{};
  // The child's descriptor limit, soft and hard; 0 leaves the test's.
  rlim_t DescriptorLimit = 0;
};

class THeadless {
public:
  // Starts `program` in `folder` with `args`; its standard output and error come back
  // through pipes that are read without blocking.
  THeadless(const std::string& program, const std::filesystem::path& folder, const std::vector<std::string>& args,
            const TOutputSetup& setup = {}) {
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    TFd outRead(outPipe[0]), outWrite(outPipe[1]);
    if (::pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    TFd errRead(errPipe[0]), errWrite(errPipe[1]);
    TFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (setup.PipeSize > 0 && ::fcntl(outWrite.Get(), F_SETPIPE_SZ, setup.PipeSize) < 0)
      throw std::runtime_error("cannot resize the pipe");

    // Everything the child needs is prepared before the fork: after it, only calls that
    // are safe between fork and exec.
    std::vector<std::string> argvText{program};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argvText) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText;
    for (char** variable = environ; *variable != nullptr; ++variable)
      if (!std::string_view(*variable).starts_with("JOURNAL_STREAM=")) envText.emplace_back(*variable);
    if (setup.Journal) {
      struct stat pipe {};
      ::fstat(outWrite.Get(), &pipe);
      envText.push_back("JOURNAL_STREAM=" + std::to_string(pipe.st_dev) + ":" + std::to_string(pipe.st_ino));
    }
    envText.insert(envText.end(), setup.Environment.begin(), setup.Environment.end());
    const rlimit descriptors{setup.DescriptorLimit, setup.DescriptorLimit};
    std::vector<char*> envp;
    for (std::string& variable : envText) envp.push_back(variable.data());
    envp.push_back(nullptr);
    const std::string dir = folder.string();

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      // Should the test program die on the way, the relay goes with it.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if ((setup.DescriptorLimit > 0 && ::setrlimit(RLIMIT_NOFILE, &descriptors) != 0) || ::chdir(dir.c_str()) != 0 || ::dup2(devNull.Get(), 0) < 0 || ::dup2(outWrite.Get(), 1) < 0 ||
          ::dup2(errWrite.Get(), 2) < 0)
        ::_exit(126);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    for (TFd* reader : {&outRead, &errRead}) ::fcntl(reader->Get(), F_SETFL, ::fcntl(reader->Get(), F_GETFL) | O_NONBLOCK);
    out_ = std::move(outRead);
    err_ = std::move(errRead);
  }

  ~THeadless() {
    if (reaped_) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }

  THeadless(const THeadless&) = delete;
  THeadless& operator=(const THeadless&) = delete;

  void Signal(int sig) const { ::kill(pid_, sig); }

  // The reader of standard output goes away.
  void CloseOutput() { out_.Reset(); }
  // Bytes written to standard output that nobody has read yet.
  int UnreadOutput() const {
    int count = 0;
    return ::ioctl(out_.Get(), FIONREAD, &count) == 0 ? count : -1;
  }

  // The complete lines written to standard output so far.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    size_t begin = 0;
    for (size_t end; (end = out_text_.find('\n', begin)) != std::string::npos; begin = end + 1)
      lines.push_back(out_text_.substr(begin, end - begin));
    return lines;
  }
  const std::string& Out() const { return out_text_; }
  const std::string& Err() const { return err_text_; }

  // Reads the output until `done` holds for its lines or the time is up.
  bool WaitFor(const std::function<bool(const std::vector<std::string>&)>& done,
               TSteady::duration timeout = kHeadlessWait) {
    const auto deadline = TSteady::now() + timeout;
    while (true) {
      if (done(Lines())) return true;
      if (TSteady::now() >= deadline) return false;
      Pump(20);
    }
  }

  bool WaitForError(const std::string& text) {
    return WaitFor([&](const std::vector<std::string>&) { return err_text_.find(text) != std::string::npos; });
  }

  bool WaitForMessage(const std::string& message, int count = 1) {
    return WaitFor([&](const std::vector<std::string>& lines) { return CountMessage(lines, message) >= count; });
  }

  // The wait status once the process has ended, or nothing if it is still running when
  // the time is up.
  std::optional<int> WaitExit(TSteady::duration timeout = kHeadlessWait) {
    const auto deadline = TSteady::now() + timeout;
    while (!reaped_) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        status_ = status;
        break;
      }
      if (TSteady::now() >= deadline) return std::nullopt;
      Pump(20);
    }
    // What the process wrote last is still in the pipes.
    const auto drained = TSteady::now() + 1s;
    while ((out_.Valid() || err_.Valid()) && TSteady::now() < drained) Pump(20);
    return status_;
  }

  // What the program said, for the message of a failed check.
  std::string Transcript() const { return "--- stdout:\n" + out_text_ + "--- stderr:\n" + err_text_; }

private:
  void Pump(int waitMs) {
    pollfd fds[2];
    std::string* texts[2];
    TFd* owners[2];
    nfds_t count = 0;
    for (auto [fd, text] : {std::pair{&out_, &out_text_}, std::pair{&err_, &err_text_}}) {
      if (!fd->Valid()) continue;
      fds[count] = pollfd{fd->Get(), POLLIN, 0};
      texts[count] = text;
      owners[count] = fd;
      ++count;
    }
    if (count == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
      return;
    }
    if (::poll(fds, count, waitMs) <= 0) return;
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      char buffer[4096];
      while (true) {
        const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          texts[i]->append(buffer, static_cast<size_t>(n));
          continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
        owners[i]->Reset(); // end of file: the process has closed its side
        break;
      }
    }
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  TFd out_;
  TFd err_;
  std::string out_text_;
  std::string err_text_;
};

inline bool ExitedWith(const std::optional<int>& status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

} // namespace gw::test
