#pragma once

#include "uvHandle.h"

#include <cstddef>
#include <functional>
#include <string>

namespace gw {

// One of the program's standard outputs, written without ever blocking the loop: lines
// wait in a bounded buffer while the reader is slow, and what does not fit is dropped and
// counted; once the reader has taken everything, one line says how many were dropped.
// A reader that has gone (a broken pipe) ends the writing for good, told once through
// OnFailure. Regular files and devices that never make a writer wait are written at once.
class TConsoleOutput {
public:
  // `stamped`: each line begins with the local date and time at which it was queued.
  TConsoleOutput(uv_loop_t* loop, int fd, bool stamped);
  ~TConsoleOutput();
  TConsoleOutput(const TConsoleOutput&) = delete;
  TConsoleOutput& operator=(const TConsoleOutput&) = delete;

  void WriteLine(const std::string& text);
  // Nothing is waiting to be written.
  bool Idle() const { return pending_.empty() && inFlight_.empty(); }

  std::function<void(const std::string& reason)> OnFailure;

  // Bytes of lines that wait for a slow reader, some hundreds of lines: a reader that falls
  // behind for a moment loses none, and one that has stopped costs no more memory than
  // this; past it lines are dropped and counted.
  static constexpr std::size_t kCapacity = 64 * 1024;

private:
  static void OnWritten(uv_write_t* request, int status);
  void Written(int status);
  void Queue(std::string line);
  void WriteSome();
  void Fail(int status);

  // Room for whichever kind of stream the descriptor is; libuv's streams all begin alike.
  union TAnyStream {
    uv_tty_t Tty;
    uv_pipe_t Pipe;
    uv_tcp_t Tcp;
  };
  static TUvHandle<TAnyStream> OpenStream(uv_loop_t* loop, int fd);
  uv_stream_t* Stream() const { return reinterpret_cast<uv_stream_t*>(stream_.get()); }

  int fd_;
  bool stamped_;
  // Empty for a file or device, which is written directly.
  TUvHandle<TAnyStream> stream_;
  // The write under way, owned by libuv until its callback, which may come after this
  // object is gone (closing the stream cancels it); its data is cleared then.
  uv_write_t* request_ = nullptr;
  std::string pending_;
  std::string inFlight_;
  std::size_t dropped_ = 0;
  bool failed_ = false;
};

// True when `fd` is the stream that systemd's journal reads: JOURNAL_STREAM names its
// device and inode. The journal stamps each line itself.
bool IsJournalStream(int fd);

} // namespace gw
