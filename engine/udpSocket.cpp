#include "udpSocket.h"

#include "presenter.h"
#include "socketErrors.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_map>

namespace gw {

namespace {

// One batch buffer serves every endpoint: all of them run on the loop's thread and a drain
// never nests, so there is no per-endpoint receive memory however many relays exist.
struct TReceiveBatch {
  static constexpr int kSize = TudpSocket::kMaxDatagramsPerWakeup;
  std::array<std::array<char, TudpSocket::kReceiveBufferSize>, kSize> Buffers;
  std::array<iovec, kSize> Iov;
  std::array<sockaddr_in, kSize> From;
  std::array<mmsghdr, kSize> Headers;

  TReceiveBatch() {
    for (int i = 0; i < kSize; ++i) {
      Iov[i] = {Buffers[i].data(), Buffers[i].size()};
      Headers[i] = {};
      Headers[i].msg_hdr.msg_iov = &Iov[i];
      Headers[i].msg_hdr.msg_iovlen = 1;
      Headers[i].msg_hdr.msg_name = &From[i];
      Headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
  }
};

TReceiveBatch gBatch;

// Sends are queued while a drain runs, and go out at once anywhere else.
int gDrainDepth = 0;

struct TDrainScope {
  TDrainScope() { ++gDrainDepth; }
  ~TDrainScope() { --gDrainDepth; }
  TDrainScope(const TDrainScope&) = delete;
  TDrainScope& operator=(const TDrainScope&) = delete;
};

sockaddr_in MakeAddress(uint32_t address, int port) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = address;
  in.sin_port = htons(static_cast<uint16_t>(port));
  return in;
}

} // namespace

// The datagrams that handlers send during one turn of the loop. The replies of many relays
// leave through one tunnel endpoint, and a client's datagrams through its relay's endpoint:
// each run of datagrams through the same endpoint goes out with one sendmmsg instead of a
// sendto each. One queue serves every endpoint, like the receive batch. Whenever it holds
// datagrams, the endpoint that queued the first of them has its end-of-turn flush armed,
// and an endpoint that closes sends the queue first, so no entry outlives its endpoint.
class TSendQueue {
public:
  static constexpr int kSize = TEngineLimits::kSendQueueDatagrams;

  TSendQueue() {
    for (int i = 0; i < kSize; ++i) {
      headers_[i] = {};
      headers_[i].msg_hdr.msg_iov = &iov_[i];
      headers_[i].msg_hdr.msg_iovlen = 1;
      headers_[i].msg_hdr.msg_name = &to_[i];
      headers_[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
  }

  bool Empty() const { return count_ == 0; }

  // False when the datagram cannot wait: longer than a slot, or the queue is full while
  // it is being sent. A null `to` sends to the connected peer.
  bool Add(TudpSocket& sender, const sockaddr_in* to, std::span<const char> data) {
    if (data.size() > buffers_[0].size()) return false;
    if (count_ == kSize) {
      if (flushing_) return false;
      Flush();
    }
    const int i = count_++;
    if (!data.empty()) std::memcpy(buffers_[i].data(), data.data(), data.size());
    iov_[i] = {buffers_[i].data(), data.size()};
    if (to) to_[i] = *to;
    headers_[i].msg_hdr.msg_name = to ? &to_[i] : nullptr;
    headers_[i].msg_hdr.msg_namelen = to ? sizeof(sockaddr_in) : 0;
    senders_[i] = &sender;
    return true;
  }

  void Flush() {
    if (flushing_) return;
    flushing_ = true;
    // A failure is reported as a failed sendto was, and its datagram dropped. The report's
    // handler may queue more, which this same pass sends, or close an endpoint, whose
    // entries are then skipped.
    for (int first = 0; first < count_;) {
      TudpSocket* sender = senders_[first];
      if (!sender) {
        ++first;
        continue;
      }
      int end = first + 1;
      while (end < count_ && senders_[end] == sender) ++end;
      const int sent = end - first == 1 ? SendOne(sender->fd_.Get(), first)
                                        : ::sendmmsg(sender->fd_.Get(), &headers_[first], static_cast<unsigned>(end - first), 0);
      if (sent > 0) {
        first += sent;
        continue;
      }
      const int err = errno;
      ++first;
      sender->ReportErrno(err);
    }
    count_ = 0;
    flushing_ = false;
  }

  // Before `sender` closes: what is queued goes out now, or, in the middle of a flush,
  // what `sender` queued is dropped with it.
  void Release(const TudpSocket& sender) {
    if (!flushing_) {
      Flush();
      return;
    }
    for (int i = 0; i < count_; ++i)
      if (senders_[i] == &sender) senders_[i] = nullptr;
  }

private:
  // A run of one, the common case of a relay forwarding to its server, costs the system
  // less as a plain sendto. Returns what sendmmsg would.
  int SendOne(int fd, int i) const {
    const msghdr& header = headers_[i].msg_hdr;
    return ::sendto(fd, iov_[i].iov_base, iov_[i].iov_len, 0, static_cast<const sockaddr*>(header.msg_name),
                    header.msg_namelen) < 0 ? -1 : 1;
  }

  std::array<std::array<char, TudpSocket::kReceiveBufferSize>, kSize> buffers_;
  std::array<iovec, kSize> iov_;
  std::array<sockaddr_in, kSize> to_;
  std::array<mmsghdr, kSize> headers_;
  std::array<TudpSocket*, kSize> senders_{};
  int count_ = 0;
  bool flushing_ = false;
};

namespace {

TSendQueue gSendQueue;

// The ports bound by this process's endpoints, each with the local address it sends from
// (0 while bound to any), so a tunnel can tell its own endpoints from a peer. A connected
// endpoint sends from the one address its route gave it, and another socket may then hold
// the same port on another local address.
std::unordered_map<int, uint32_t> gOwnPorts;

// The lowest free descriptor is the one a new socket gets, so a socket numbered within the
// reserve of the limit means that few are left.
bool WithinReserve(int fd) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return false;
  return static_cast<rlim_t>(fd) + TudpSocket::kDescriptorReserve >= limit.rlim_cur;
}

void OnFlush(uv_check_t* handle) {
  uv_check_stop(handle);
  RunGuarded([] { gSendQueue.Flush(); });
}

} // namespace

TudpSocket::TudpSocket(uv_loop_t* loop) : loop_(loop) {}

TudpSocket::~TudpSocket() { Close(); }

void TudpSocket::Open() {
  if (Active()) Close();

  if (Port < 0 || Port > 65535) {
    ReportError(kInvalidArgument);
    return;
  }
  TFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!fd.Valid()) {
    ReportErrno(errno);
    return;
  }
  if (KeepDescriptorReserve && WithinReserve(fd.Get())) {
    ReportErrno(EMFILE);
    return;
  }
  // Without the size asked for, the system's default still works, with less room.
  if (ReceiveBufferBytes > 0)
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &ReceiveBufferBytes, sizeof ReceiveBufferBytes);
  const sockaddr_in local = MakeAddress(BindAddress ? BindAddress : htonl(INADDR_ANY), Port);
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    ReportErrno(errno);
    return;
  }
  sockaddr_in bound{};
  socklen_t boundLength = sizeof bound;
  if (::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0) {
    ReportErrno(errno);
    return;
  }
  TUvHandle<uv_poll_t> poll;
  if (const int status = StartPolling(loop_, fd.Get(), this, &TudpSocket::OnPoll, poll)) {
    ReportErrno(-status);
    return;
  }
  TUvHandle<uv_check_t> flush(new uv_check_t{});
  uv_check_init(loop_, flush.get());
  flush->data = this;
  fd_ = std::move(fd);
  poll_ = std::move(poll);
  flush_ = std::move(flush);
  boundPort_ = ntohs(bound.sin_port);
  gOwnPorts[boundPort_] = BindAddress;
}

void TudpSocket::Close() {
  if (!fd_.Valid()) return;
  poll_.reset();
  flush_.reset();
  gSendQueue.Release(*this);
  gOwnPorts.erase(boundPort_);
  connected_ = false;
  if (const int err = fd_.Reset()) ReportErrno(err);
}

bool TudpSocket::IsOwnPort(int port) { return gOwnPorts.contains(port); }

bool TudpSocket::IsOwnEndpoint(uint32_t address, int port) {
  const auto found = gOwnPorts.find(port);
  return found != gOwnPorts.end() && (found->second == 0 || found->second == address);
}

uint32_t TudpSocket::LocalAddressToward(const TPeerAddress& peer) {
  // Connecting a datagram socket sends nothing: it only asks the routes.
  TFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  const sockaddr_in to = MakeAddress(peer.Address, peer.Port);
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (!probe.Valid() || ::connect(probe.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
      ::getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
    return 0;
  return local.sin_addr.s_addr;
}

void TudpSocket::SetLocation(const std::string& location) {
  destination_.Location = location;
  Resolve(destination_);
}

bool TudpSocket::Connect(const TPeerAddress& peer) {
  const sockaddr_in to = MakeAddress(peer.Address, peer.Port);
  if (!Active() || ::connect(fd_.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    ReportErrno(Active() ? errno : EBADF);
    return false;
  }
  connected_ = true;
  // The system bound the endpoint to the address of the route; should it not say which,
  // the endpoint stays owned on every address.
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&local), &length) == 0)
    gOwnPorts[boundPort_] = local.sin_addr.s_addr;
  return true;
}

bool TudpSocket::SendBuffer(std::span<const char> data) {
  if (connected_) return Send(nullptr, data);
  if (destination_.Address == 0) {
    ReportError(kAddressNotAvailable);
    return false;
  }
  return SendTo({destination_.Address, static_cast<uint16_t>(destination_.Port)}, data);
}

bool TudpSocket::SendTo(const TPeerAddress& to, std::span<const char> data) {
  const sockaddr_in address = MakeAddress(to.Address, to.Port);
  return Send(&address, data);
}

bool TudpSocket::Send(const sockaddr_in* to, std::span<const char> data) {
  if (gDrainDepth > 0 && Active()) {
    if (gSendQueue.Empty()) uv_check_start(flush_.get(), &OnFlush);
    if (gSendQueue.Add(*this, to, data)) return true;
  }
  // What is queued goes first, so that datagrams leave in the order they were sent.
  gSendQueue.Flush();
  const ssize_t sent = ::sendto(fd_.Get(), data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(to),
                                to ? sizeof *to : 0);
  if (sent < 0) {
    ReportErrno(errno);
    return false;
  }
  return true;
}

void TudpSocket::ReportError(int code, const std::string& message) {
  std::string text;
  if (message.empty())
    text = ErrorText(code);
  else if (message.front() == '+')
    text = std::string(ErrorText(code)) + " (" + message.substr(1) + ").";
  else
    text = message;

  if (OnError)
    OnError(text, code);
  else
    Presenter().ShowMessage(UnhandledSocketErrorText(text, code));
}

void TudpSocket::ReportErrno(int err, const std::string& message) {
  // A connected datagram socket hears of the peer's closed port (an ICMP notice) as a
  // refused connection; it is the same news as a reset peer, and as little worth telling.
  if (err == ECONNREFUSED) err = ECONNRESET;
  ReportError(SocketErrorFromErrno(err), message);
}

void TudpSocket::OnPoll(uv_poll_t* handle, int status, int events) {
  auto* self = static_cast<TudpSocket*>(handle->data);
  if (!self) return;
  const TDrainScope drain;
  RunGuarded([&] {
    if (status >= 0) {
      if (events & UV_READABLE) self->Drain(*handle);
      return;
    }
    // libuv stops the handle on an error notice. A connected socket gets one when the peer's
    // port is closed (an ICMP notice, which anyone on the path can forge): that error is
    // taken and reported, and the endpoint always listens again, as it must for the peer's
    // next datagram. A send made between the notice and this call may have taken the error
    // already; then there is nothing left to report, and still the endpoint listens again.
    int pending = 0;
    socklen_t length = sizeof pending;
    if (::getsockopt(self->fd_.Get(), SOL_SOCKET, SO_ERROR, &pending, &length) != 0)
      self->ReportErrno(errno, "+Error while receiving.");
    else if (pending != 0)
      self->ReportErrno(pending, "+Error while receiving.");
    if (handle->data == self) uv_poll_start(handle, UV_READABLE, &TudpSocket::OnPoll);
  });
}

void TudpSocket::Drain(const uv_poll_t& handle) {
  // A handler may close or destroy this endpoint; its handle then lets go of it (its memory
  // lives until the next loop turn), and the drain stops there.
  const auto alive = [&] { return handle.data == this; };
  const bool single = singleStreak_ >= kSingleReadsAfter && singleStreak_ < kBatchProbeAt;
  int delivered = 0;
  while (alive() && delivered < kMaxDatagramsPerWakeup) {
    const int count = single ? ReceiveOne() : ReceiveBatch();
    if (count < 0) {
      if (errno == EINTR) continue;
      if (!WouldBlock(errno)) ReportErrno(errno);
      break;
    }
    for (int i = 0; i < count && alive(); ++i, ++delivered) {
      const mmsghdr& message = gBatch.Headers[i];
      // A datagram that does not leave one byte free is dropped whole, never cut.
      if ((message.msg_hdr.msg_flags & MSG_TRUNC) || message.msg_len >= kReceiveBufferSize) {
        ReportErrno(EMSGSIZE);
        continue;
      }
      const sockaddr_in& from = gBatch.From[i];
      const TPeerAddress peer{from.sin_addr.s_addr, ntohs(from.sin_port)};
      if (OnReceive)
        RunGuarded([&] { OnReceive(*this, {gBatch.Buffers[i].data(), message.msg_len}, peer); });
    }
    if (single || count < TReceiveBatch::kSize) break;
  }
  if (!alive()) return;
  // The streak wraps after each probe, so it never grows however long the endpoint lives.
  if (delivered == 1)
    singleStreak_ = singleStreak_ == kBatchProbeAt ? kSingleReadsAfter : singleStreak_ + 1;
  else if (delivered > 1)
    singleStreak_ = 0;
}

int TudpSocket::ReceiveBatch() {
  const int count = ::recvmmsg(fd_.Get(), gBatch.Headers.data(), TReceiveBatch::kSize, MSG_DONTWAIT, nullptr);
  // The system wrote each sender's length; the next read needs the full room again.
  for (int i = 0; i < count; ++i) gBatch.Headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
  return count;
}

int TudpSocket::ReceiveOne() {
  socklen_t length = sizeof(sockaddr_in);
  // A datagram that fills the buffer is too long; Drain tells it by its length.
  const ssize_t got = ::recvfrom(fd_.Get(), gBatch.Buffers[0].data(), gBatch.Buffers[0].size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&gBatch.From[0]), &length);
  if (got < 0) return -1;
  gBatch.Headers[0].msg_len = static_cast<unsigned>(got);
  gBatch.Headers[0].msg_hdr.msg_flags = 0;
  return 1;
}

std::string UnhandledSocketErrorText(const std::string& text, int code) {
  char number[16];
  std::snprintf(number, sizeof number, "%06X", static_cast<unsigned>(code));
  return "Ugh I got an Error, and you don't write error handlers\r\nShame on you !!!!. "
         "Take a look at it :\r\n" +
         text + " (error number : 0x" + number + ")." + "\r\n" + "Assign an OnError event handler !!!";
}

} // namespace gw
