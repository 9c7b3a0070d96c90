#include "remoteListener.h"

#include "presenter.h"
#include "remoteLimits.h"
#include "socketError.h"
#include "socketErrors.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <stdexcept>

namespace gw {

using L = TRemoteLimits;

TRemoteConnection::TRemoteConnection(TRemoteListener& listener, TFd fd, uint32_t peerAddress)
    : listener_(listener), fd_(std::move(fd)), peerAddress_(peerAddress) {}

std::string TRemoteConnection::ReceiveText() {
  if (Closed()) return {};
  int waiting = 0;
  if (::ioctl(fd_.Get(), FIONREAD, &waiting) != 0) {
    Fail(errno);
    return {};
  }
  std::string text(static_cast<std::size_t>(waiting), '\0');
  if (waiting == 0) return text;
  const ssize_t got = ::recv(fd_.Get(), text.data(), text.size(), MSG_DONTWAIT);
  if (got < 0) {
    if (!WouldBlock(errno)) Fail(errno);
    return {};
  }
  text.resize(static_cast<std::size_t>(got));
  return text;
}

void TRemoteConnection::SendText(std::string_view text) {
  if (Closed()) return;
  if (::send(fd_.Get(), text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && !WouldBlock(errno))
    Fail(errno);
}

void TRemoteConnection::Fail(int err) {
  listener_.RaiseConnectionError(*this, err);
  Close();
  if (listener_.OnClientDisconnect) listener_.OnClientDisconnect(*this);
}

void TRemoteConnection::Close() {
  poll_.reset();
  fd_.Reset();
}

void TRemoteConnection::OnPoll(uv_poll_t* handle, int status, int events) {
  auto* self = static_cast<TRemoteConnection*>(handle->data);
  if (!self) return;
  TRemoteListener& listener = self->listener_;
  RunGuarded([&] {
    if (status < 0) {
      // A failure the system reports on its own; like a reset peer, it is only reported,
      // and the connection, now useless, is let go without a disconnect event.
      listener.RaiseConnectionError(*self, -status);
      self->Close();
    } else if (events & UV_READABLE) {
      self->HandleReadable();
    }
  });
  listener.ReleaseClosed();
}

void TRemoteConnection::HandleReadable() {
  int waiting = 0;
  if (::ioctl(fd_.Get(), FIONREAD, &waiting) == 0 && waiting == 0) {
    // Readable with nothing waiting: the peer closed, or the connection failed.
    char probe;
    const ssize_t peeked = ::recv(fd_.Get(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked == 0) {
      Close();
      if (listener_.OnClientDisconnect) listener_.OnClientDisconnect(*this);
      return;
    }
    if (peeked < 0 && !WouldBlock(errno)) {
      listener_.RaiseConnectionError(*this, errno);
      Close();
      return;
    }
  }
  if (listener_.OnClientRead) listener_.OnClientRead(*this);
}

TRemoteListener::TRemoteListener(uv_loop_t* loop) : loop_(loop) {}

TRemoteListener::~TRemoteListener() { Deactivate(); }

void TRemoteListener::SetPort(int port) {
  if (port == port_) return;
  if (Active()) throw std::runtime_error("Can't change value while socket is active");
  port_ = port;
}

void TRemoteListener::SetActive(bool active) {
  if (active == Active()) return;
  if (active)
    Activate();
  else
    Deactivate();
}

int TRemoteListener::LocalPort() const {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (!Active() || ::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

void TRemoteListener::Activate() {
  TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) throw TSocketError(SocketErrorFromErrno(errno), "socket");
  // Lets a restarted program listen again at once while old connections linger in
  // TIME_WAIT; on Linux it does not let two listeners share a port.
  const int on = 1;
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(static_cast<uint16_t>(port_ & 0xFFFF));
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
    throw TSocketError(SocketErrorFromErrno(errno), "bind");
  if (::listen(fd.Get(), L::kBacklog) != 0) throw TSocketError(SocketErrorFromErrno(errno), "listen");
  if (const int status = StartPolling(loop_, fd.Get(), this, &TRemoteListener::OnAccept, poll_))
    throw TSocketError(SocketErrorFromErrno(-status), "WSAAsyncSelect");
  fd_ = std::move(fd);

  resume_ = MakeTimer(loop_, this);
}

void TRemoteListener::Deactivate() {
  connections_.clear();
  resume_.reset();
  poll_.reset();
  fd_.Reset();
}

void TRemoteListener::OnAccept(uv_poll_t* handle, int status, int events) {
  auto* self = static_cast<TRemoteListener*>(handle->data);
  if (!self || status < 0 || !(events & UV_READABLE)) return;
  RunGuarded([&] { self->AcceptWaiting(); });
  self->ReleaseClosed();
}

void TRemoteListener::AcceptWaiting() {
  for (int i = 0; i < L::kMaxAcceptsPerWakeup && Active(); ++i) {
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    TFd fd(::accept4(fd_.Get(), reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.Valid()) {
      // A peer that gave up before it was accepted is no failure of ours.
      if (!WouldBlock(errno) && errno != EINTR && errno != ECONNABORTED) PauseAccepting(errno);
      return;
    }
    auto connection = std::make_unique<TRemoteConnection>(*this, std::move(fd), peer.sin_addr.s_addr);
    if (const int status = StartPolling(loop_, connection->fd_.Get(), connection.get(), &TRemoteConnection::OnPoll,
                                        connection->poll_)) {
      PauseAccepting(-status);
      return;
    }
    TRemoteConnection& accepted = *connection;
    connections_.push_back(std::move(connection));
    if (OnClientConnect) OnClientConnect(accepted);
  }
}

void TRemoteListener::PauseAccepting(int err) {
  uv_poll_stop(poll_.get());
  uv_timer_start(
      resume_.get(),
      [](uv_timer_t* timer) {
        if (auto* self = static_cast<TRemoteListener*>(timer->data))
          uv_poll_start(self->poll_.get(), UV_READABLE, &TRemoteListener::OnAccept);
      },
      static_cast<uint64_t>(L::kAcceptPause.count()), 0);
  if (OnAcceptError) OnAcceptError(SocketErrorFromErrno(err));
}

void TRemoteListener::RaiseConnectionError(TRemoteConnection& connection, int err) {
  int code = SocketErrorFromErrno(err);
  if (OnClientError) OnClientError(connection, code);
  if (code != 0) throw TSocketError(code, "recv");
}

void TRemoteListener::ReleaseClosed() {
  connections_.remove_if([](const std::unique_ptr<TRemoteConnection>& c) { return c->Closed(); });
}

} // namespace gw
