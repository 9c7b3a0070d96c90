#pragma once

#include "context.h"

#include <string>

namespace gw {

// The log of one source of lines that can come once per datagram (a socket error, a
// refused client): a line is written when it first comes, and the same line again is only
// counted. The count is written as one line, "<line> (N more)", once kSummaryInterval has
// passed since the last line of this log: at the next repeat or at the sweep's FlushAll,
// whichever comes first. So a flood writes a line every few seconds, not one a datagram.
class TRepeatedLog {
public:
  static constexpr std::chrono::seconds kSummaryInterval{5};

  explicit TRepeatedLog(TEngineContext& context) : context_(context) {}
  ~TRepeatedLog();
  TRepeatedLog(const TRepeatedLog&) = delete;
  TRepeatedLog& operator=(const TRepeatedLog&) = delete;

  // `key` tells lines apart without building them: `makeLine` runs only for a line that is
  // written. `times` counts a line that came that often (the kernel's refusals of a second).
  template <typename F>
  void Write(int key, F&& makeLine, uint64_t times = 1) {
    if (times == 0) return;
    if (!written_ || key != key_) {
      WriteNew(key, makeLine());
      --times;
    }
    if (times > 0) Count(times);
  }

  // The source begins a new life (an endpoint opened again): a count left from the old
  // one is written, and the next line is written in full whatever it is.
  void Restart();

  // Writes the counts that are due, of every log in the process.
  static void FlushAll(TTime now);

private:
  void Count(uint64_t times);
  void WriteNew(int key, std::string line);
  void WriteCount();

  TEngineContext& context_;
  bool written_ = false;
  int key_ = 0;
  std::string line_;
  uint64_t repeats_ = 0;
  TTime writtenAt_{};
};

} // namespace gw
