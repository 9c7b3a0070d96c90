#pragma once

#include "uvHandle.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

struct addrinfo;
struct uv_getaddrinfo_s;
struct uv_loop_s;
typedef struct uv_loop_s uv_loop_t;

namespace gw {

class TNameLookup;

// Lookups that take turns on libuv's worker threads: at most one of them is on a thread at
// a time, one that was let go included, until its thread is back. libuv runs at most two
// lookups at once (half of its pool of four), so lookups that may hang for as long as a
// silent name server keeps them (the masters') must not hold both: in a lane they leave
// the other to the tunnels' own. Copies share one lane.
class TLookupLane {
public:
  TLookupLane();

private:
  friend class TNameLookup;
  struct TState {
    // A lookup of the lane is on a worker thread, answered or not.
    bool Busy = false;
    // Waiting for their turn, first come first served.
    std::deque<TNameLookup*> Waiting;
  };
  // Held by every request of the lane as well, so the lane outlives its last thread.
  std::shared_ptr<TState> state_;
};

// Resolves a server's name to an IPv4 address on libuv's worker threads, so a slow or
// silent name server never holds up the loop. A dotted address is taken at once.
class TNameLookup {
public:
  // The address in network byte order; 0 when the name does not resolve.
  using TAnswerProc = std::function<void(uint32_t address)>;

  explicit TNameLookup(uv_loop_t* loop) : loop_(loop) {}
  // Answered 0 when a worker has not answered within `deadline` of taking the lookup: the
  // lookup is then let go, its thread's answer dropped when it comes. In `lane`, if given.
  TNameLookup(uv_loop_t* loop, std::chrono::milliseconds deadline, const TLookupLane* lane = nullptr);
  // A lookup still under way is let go; its answer, when it comes, is dropped.
  ~TNameLookup();
  TNameLookup(const TNameLookup&) = delete;
  TNameLookup& operator=(const TNameLookup&) = delete;

  // Starts resolving `host`; `answer` runs once, from the loop, or before Start returns for
  // a dotted address or a lookup that cannot start. A lookup under way is let go first.
  void Start(const std::string& host, TAnswerProc answer);
  // Asked and not yet answered, waiting for its lane's turn included.
  bool Running() const { return request_ != nullptr || waiting_; }
  // Whether the last answer is the name's address, as against a failure: an answer of 0 is
  // then a name that stands for 0.0.0.0.
  bool Found() const { return found_; }

private:
  struct TRequest;
  static void OnAnswer(uv_getaddrinfo_s* request, int status, ::addrinfo* found);
  // Hands the lookup to the worker threads; false, with the answer given, when it cannot.
  bool Submit();
  // The next of the lane's waiting lookups, once no thread holds one of them.
  static void TakeTurns(const std::shared_ptr<TLookupLane::TState>& lane);
  void Answer(uint32_t address);
  void Abandon();
  void OnDeadline();

  uv_loop_t* loop_;
  std::shared_ptr<TLookupLane::TState> lane_;
  std::chrono::milliseconds deadline_{0};
  // Made with the first lookup that has a deadline.
  TUvHandle<uv_timer_t> deadlineTimer_;
  std::string host_;
  bool waiting_ = false;
  bool found_ = false;
  // Owned by the loop while the lookup runs; freed by OnAnswer.
  TRequest* request_ = nullptr;
  TAnswerProc answer_;
};

// What a program returns from main: `status`, unless a lookup is still under way on a libuv
// worker thread. libuv joins its workers as the process ends, and one may wait on a silent
// name server for half a minute; the process then leaves at once with `status` instead.
int EndWithoutWaitingForLookups(int status);

} // namespace gw
