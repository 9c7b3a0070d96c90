#include "nameLookup.h"

#include "presenter.h"

#include <uv.h>

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace gw {

namespace {
// Lookups handed to the worker threads whose answer has not come, let-go ones included.
int gUnderWay = 0;
} // namespace

struct TNameLookup::TRequest {
  uv_getaddrinfo_t Handle{};
  // Cleared when the lookup is let go.
  TNameLookup* Owner = nullptr;
  // The lane whose turn the request holds until its thread is back, if it has one.
  std::shared_ptr<TLookupLane::TState> Lane;
};

TLookupLane::TLookupLane() : state_(std::make_shared<TState>()) {}

TNameLookup::TNameLookup(uv_loop_t* loop, std::chrono::milliseconds deadline, const TLookupLane* lane)
    : loop_(loop), lane_(lane ? lane->state_ : nullptr), deadline_(deadline) {}

TNameLookup::~TNameLookup() { Abandon(); }

void TNameLookup::Abandon() {
  if (waiting_) {
    std::erase(lane_->Waiting, this);
    waiting_ = false;
  }
  if (deadlineTimer_) uv_timer_stop(deadlineTimer_.get());
  if (!request_) return;
  request_->Owner = nullptr;
  // A lookup not yet taken by a worker ends at once; one already running finishes on its own.
  uv_cancel(reinterpret_cast<uv_req_t*>(&request_->Handle));
  request_ = nullptr;
}

void TNameLookup::Start(const std::string& host, TAnswerProc answer) {
  Abandon();
  in_addr numeric{};
  found_ = inet_pton(AF_INET, host.c_str(), &numeric) == 1;
  if (found_) {
    answer(numeric.s_addr);
    return;
  }
  host_ = host;
  answer_ = std::move(answer);
  if (lane_ && lane_->Busy) {
    lane_->Waiting.push_back(this);
    waiting_ = true;
    return;
  }
  Submit();
}

bool TNameLookup::Submit() {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  auto request = std::make_unique<TRequest>();
  request->Owner = this;
  if (uv_getaddrinfo(loop_, &request->Handle, &TNameLookup::OnAnswer, host_.c_str(), nullptr, &hints) != 0) {
    Answer(0);
    return false;
  }
  // From here the loop holds the request until OnAnswer.
  request_ = request.release();
  ++gUnderWay;
  if (lane_) {
    lane_->Busy = true;
    request_->Lane = lane_;
  }
  if (deadline_.count() > 0) {
    if (!deadlineTimer_) deadlineTimer_ = MakeTimer(loop_, this);
    uv_timer_start(
        deadlineTimer_.get(),
        [](uv_timer_t* timer) {
          if (auto* self = static_cast<TNameLookup*>(timer->data)) RunGuarded([&] { self->OnDeadline(); });
        },
        static_cast<uint64_t>(deadline_.count()), 0);
  }
  return true;
}

void TNameLookup::OnDeadline() {
  if (!request_) return;
  // Its thread stays busy until the name server gives up, and the lane with it.
  Abandon();
  Answer(0);
}

void TNameLookup::Answer(uint32_t address) {
  // The handler may start the next lookup, so it is taken out first.
  const TAnswerProc answer = std::exchange(answer_, nullptr);
  answer(address);
}

void TNameLookup::TakeTurns(const std::shared_ptr<TLookupLane::TState>& lane) {
  while (!lane->Busy && !lane->Waiting.empty()) {
    TNameLookup* next = lane->Waiting.front();
    lane->Waiting.pop_front();
    next->waiting_ = false;
    // One that cannot start is answered at once, and the turn goes on to the next.
    RunGuarded([&] { next->Submit(); });
  }
}

void TNameLookup::OnAnswer(uv_getaddrinfo_t* handle, int status, addrinfo* found) {
  const std::unique_ptr<TRequest> request(reinterpret_cast<TRequest*>(handle));
  const std::unique_ptr<addrinfo, decltype(&uv_freeaddrinfo)> results(found, &uv_freeaddrinfo);
  --gUnderWay;
  if (request->Lane) {
    request->Lane->Busy = false;
    TakeTurns(request->Lane);
  }
  // Read after the turns, whose handlers may have let this lookup go.
  TNameLookup* owner = request->Owner;
  if (!owner) return;
  owner->request_ = nullptr;
  if (owner->deadlineTimer_) uv_timer_stop(owner->deadlineTimer_.get());
  owner->found_ = status == 0 && found;
  const uint32_t address = owner->found_ ? reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr : 0;
  RunGuarded([&] { owner->Answer(address); });
}

int EndWithoutWaitingForLookups(int status) {
  if (gUnderWay == 0) return status;
  std::fflush(nullptr);
  std::_Exit(status);
}

} // namespace gw
