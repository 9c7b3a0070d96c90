#include "consoleOutput.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

namespace gw {

namespace {

std::string Stamp() {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {stamp, std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local)};
}

} // namespace

// A libuv stream over `fd` when the descriptor is one that can make a writer wait.
// Terminals are reopened by libuv, so their non-blocking mode stays ours alone.
TUvHandle<TConsoleOutput::TAnyStream> TConsoleOutput::OpenStream(uv_loop_t* loop, int fd) {
  auto unregistered = std::make_unique<TAnyStream>();
  int status = 0;
  switch (uv_guess_handle(fd)) {
  case UV_TTY:
    if (uv_tty_init(loop, &unregistered->Tty, fd, 0) != 0) return nullptr;
    break;
  case UV_NAMED_PIPE:
    uv_pipe_init(loop, &unregistered->Pipe, 0);
    status = uv_pipe_open(&unregistered->Pipe, fd);
    break;
  case UV_TCP:
    uv_tcp_init(loop, &unregistered->Tcp);
    status = uv_tcp_open(&unregistered->Tcp, fd);
    break;
  default:
    return nullptr;
  }
  // Initialised, the handle belongs to the loop and is released through it.
  TUvHandle<TAnyStream> stream(unregistered.release());
  return status == 0 ? std::move(stream) : nullptr;
}

TConsoleOutput::TConsoleOutput(uv_loop_t* loop, int fd, bool stamped)
    : fd_(fd), stamped_(stamped), stream_(OpenStream(loop, fd)) {}

TConsoleOutput::~TConsoleOutput() {
  if (request_ != nullptr) request_->data = nullptr;
  // The descriptor is shared with whoever started the program: hand it back blocking.
  if (stream_) uv_stream_set_blocking(Stream(), 1);
}

void TConsoleOutput::WriteLine(const std::string& text) {
  if (failed_) return;
  std::string line = stamped_ ? Stamp() + text : text;
  line += '\n';
  if (pending_.size() + inFlight_.size() + line.size() > kCapacity) {
    ++dropped_;
    return;
  }
  Queue(std::move(line));
}

void TConsoleOutput::Queue(std::string line) {
  pending_ += line;
  WriteSome();
}

void TConsoleOutput::WriteSome() {
  if (!inFlight_.empty() || pending_.empty() || failed_) return;
  if (!stream_) {
    // A file or a device: the write does not wait for a reader.
    std::size_t done = 0;
    while (done < pending_.size()) {
      const ssize_t written = ::write(fd_, pending_.data() + done, pending_.size() - done);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return Fail(written < 0 ? -errno : UV_EIO);
      done += static_cast<std::size_t>(written);
    }
    pending_.clear();
    return;
  }

  uv_buf_t buffer = uv_buf_init(pending_.data(), static_cast<unsigned>(pending_.size()));
  const int written = uv_try_write(Stream(), &buffer, 1);
  if (written < 0 && written != UV_EAGAIN) return Fail(written);
  pending_.erase(0, written > 0 ? static_cast<std::size_t>(written) : 0);
  if (pending_.empty()) return Written(0);
  // The rest goes out when the reader makes room; what arrives meanwhile waits in pending_.
  inFlight_.swap(pending_);
  buffer = uv_buf_init(inFlight_.data(), static_cast<unsigned>(inFlight_.size()));
  auto request = std::make_unique<uv_write_t>();
  request->data = this;
  if (const int status = uv_write(request.get(), Stream(), &buffer, 1, &TConsoleOutput::OnWritten))
    return Fail(status);
  request_ = request.release();
}

void TConsoleOutput::OnWritten(uv_write_t* request, int status) {
  const std::unique_ptr<uv_write_t> done(request);
  if (auto* self = static_cast<TConsoleOutput*>(request->data)) {
    self->request_ = nullptr;
    self->Written(status);
  }
}

void TConsoleOutput::Written(int status) {
  inFlight_.clear();
  if (status < 0) return Fail(status);
  if (pending_.empty() && dropped_ > 0) {
    const std::string notice = std::to_string(dropped_) + " log lines were dropped: the output did not keep up";
    dropped_ = 0;
    return Queue((stamped_ ? Stamp() : std::string()) + notice + "\n");
  }
  WriteSome();
}

void TConsoleOutput::Fail(int status) {
  failed_ = true;
  pending_.clear();
  inFlight_.clear();
  if (OnFailure) OnFailure(uv_strerror(status));
}

bool IsJournalStream(int fd) {
  const char* journal = std::getenv("JOURNAL_STREAM");
  uintmax_t device = 0;
  uintmax_t inode = 0;
  struct stat status {};
  return journal != nullptr && std::sscanf(journal, "%" SCNuMAX ":%" SCNuMAX, &device, &inode) == 2 &&
         ::fstat(fd, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

} // namespace gw
