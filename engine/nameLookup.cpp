#include "nameLookup.h"

#include "presenter.h"

#include <uv.h>

#include <arpa/inet.h>
#include <netdb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace gw {

namespace {
// Lookups handed to the worker threads whose answer has not come, let-go ones included.
int gUnderWay = 0;
} // namespace

struct TNameLookup::TRequest {
  uv_getaddrinfo_t Handle{};
  // Cleared when the lookup is let go.
  TNameLookup* Owner = nullptr;
};

TNameLookup::~TNameLookup() { Abandon(); }

void TNameLookup::Abandon() {
  if (!request_) return;
  request_->Owner = nullptr;
  // A lookup not yet taken by a worker ends at once; one already running finishes on its own.
  uv_cancel(reinterpret_cast<uv_req_t*>(&request_->Handle));
  request_ = nullptr;
}

void TNameLookup::Start(const std::string& host, TAnswerProc answer) {
  Abandon();
  in_addr numeric{};
  if (inet_pton(AF_INET, host.c_str(), &numeric) == 1) {
    answer(numeric.s_addr);
    return;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  auto request = std::make_unique<TRequest>();
  request->Owner = this;
  if (uv_getaddrinfo(loop_, &request->Handle, &TNameLookup::OnAnswer, host.c_str(), nullptr, &hints) != 0) {
    answer(0);
    return;
  }
  // From here the loop holds the request until OnAnswer.
  request_ = request.release();
  ++gUnderWay;
  answer_ = std::move(answer);
}

void TNameLookup::OnAnswer(uv_getaddrinfo_t* handle, int status, addrinfo* found) {
  const std::unique_ptr<TRequest> request(reinterpret_cast<TRequest*>(handle));
  const std::unique_ptr<addrinfo, decltype(&uv_freeaddrinfo)> results(found, &uv_freeaddrinfo);
  --gUnderWay;
  TNameLookup* owner = request->Owner;
  if (!owner) return;
  owner->request_ = nullptr;
  const uint32_t address =
      status == 0 && found ? reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr : 0;
  // The handler may start the next lookup, so it is taken out first.
  const TAnswerProc answer = std::move(owner->answer_);
  RunGuarded([&] { answer(address); });
}

int EndWithoutWaitingForLookups(int status) {
  if (gUnderWay == 0) return status;
  std::fflush(nullptr);
  std::_Exit(status);
}

} // namespace gw
