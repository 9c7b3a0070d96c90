#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct addrinfo;
struct uv_getaddrinfo_s;
struct uv_loop_s;
typedef struct uv_loop_s uv_loop_t;

namespace gw {

// Resolves a server's name to an IPv4 address on libuv's worker threads, so a slow or
// silent name server never holds up the loop. A dotted address is taken at once.
class TNameLookup {
public:
  // The address in network byte order; 0 when the name does not resolve.
  using TAnswerProc = std::function<void(uint32_t address)>;

  explicit TNameLookup(uv_loop_t* loop) : loop_(loop) {}
  // A lookup still under way is let go; its answer, when it comes, is dropped.
  ~TNameLookup();
  TNameLookup(const TNameLookup&) = delete;
  TNameLookup& operator=(const TNameLookup&) = delete;

  // Starts resolving `host`; `answer` runs once, from the loop, or before Start returns for
  // a dotted address or a lookup that cannot start. A lookup under way is let go first.
  void Start(const std::string& host, TAnswerProc answer);
  bool Running() const { return request_ != nullptr; }

private:
  struct TRequest;
  static void OnAnswer(uv_getaddrinfo_s* request, int status, ::addrinfo* found);
  void Abandon();

  uv_loop_t* loop_;
  // Owned by the loop while the lookup runs; freed by OnAnswer.
  TRequest* request_ = nullptr;
  TAnswerProc answer_;
};

// What a program returns from main: `status`, unless a lookup is still under way on a libuv
// worker thread. libuv joins its workers as the process ends, and one may wait on a silent
// name server for half a minute; the process then leaves at once with `status` instead.
int EndWithoutWaitingForLookups(int status);

} // namespace gw
