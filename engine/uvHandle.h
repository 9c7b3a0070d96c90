#pragma once

#include <uv.h>

#include <cerrno>
#include <memory>
#include <unistd.h>

namespace gw {

// libuv releases a handle only after its close callback has run, one loop turn after
// uv_close. TUvHandle owns such a handle: destroying it starts the close, and the memory
// is freed by the callback, so a handle may be dropped at any moment, even from inside one
// of its own callbacks. `data` is cleared first, so late callbacks can tell it is gone.
template <typename T>
struct TUvCloser {
  void operator()(T* handle) const {
    auto* h = reinterpret_cast<uv_handle_t*>(handle);
    h->data = nullptr;
    uv_close(h, [](uv_handle_t* closed) { delete reinterpret_cast<T*>(closed); });
  }
};

template <typename T>
using TUvHandle = std::unique_ptr<T, TUvCloser<T>>;

// Starts watching `fd` for reading, with `owner` as the handle's data. An initialised
// handle belongs to the loop and is released through it; one that failed to initialise was
// never registered and is simply freed. Returns 0, or libuv's negative error code, with
// `poll` then empty.
inline int StartPolling(uv_loop_t* loop, int fd, void* owner, uv_poll_cb callback, TUvHandle<uv_poll_t>& poll) {
  auto unregistered = std::make_unique<uv_poll_t>();
  if (const int status = uv_poll_init_socket(loop, unregistered.get(), fd)) return status;
  poll.reset(unregistered.release());
  poll->data = owner;
  if (const int status = uv_poll_start(poll.get(), UV_READABLE, callback)) {
    poll.reset();
    return status;
  }
  return 0;
}

// A stopped timer on `loop` with `owner` as its data.
inline TUvHandle<uv_timer_t> MakeTimer(uv_loop_t* loop, void* owner) {
  auto timer = std::make_unique<uv_timer_t>();
  uv_timer_init(loop, timer.get()); // cannot fail on Linux
  TUvHandle<uv_timer_t> owned(timer.release());
  owned->data = owner;
  return owned;
}

// An owned file descriptor.
class TFd {
public:
  TFd() = default;
  explicit TFd(int fd) : fd_(fd) {}
  TFd(TFd&& other) noexcept : fd_(other.Release()) {}
  TFd& operator=(TFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor; returns the errno of a failed close, or 0.
  int Reset() {
    if (fd_ < 0) return 0;
    const int result = ::close(Release());
    return result == 0 ? 0 : errno;
  }

private:
  int fd_ = -1;
};

} // namespace gw
