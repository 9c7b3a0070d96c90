#pragma once

#include "clock.h"
#include "nameLookup.h"
#include "uvHandle.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>

namespace gw {

class TRemoteListener;

// What the remote-control service notes about one connection; the listener keeps it with
// the connection and drops it with it.
struct TRemoteNotes {
  struct TMessage {
    uint64_t Order;  // across all connections, to answer in the order of arrival
    std::string Text;
  };
  // Accepted, or last read from.
  TTime LastHeard{};
  bool Spoke = false;
  bool CarriedPassword = false;
  // Answered "Incorrect password" at least once.
  bool CarriedWrongPassword = false;
  // "Got remote control connection" has been written for it.
  bool Announced = false;
  // Messages read while their address waits, oldest first.
  std::deque<TMessage> Waiting;
  std::size_t WaitingBytes = 0;
  // The server name of its `create`, looked up before the answer; the connection's later
  // messages wait while it runs. Let go with the connection.
  std::unique_ptr<TNameLookup> Lookup;
};

// One accepted remote-control connection. It lives until the peer closes it, a send or
// receive on it fails, or the listener stops.
class TRemoteConnection {
public:
  TRemoteConnection(TRemoteListener& listener, TFd fd, uint32_t peerAddress);
  TRemoteConnection(const TRemoteConnection&) = delete;
  TRemoteConnection& operator=(const TRemoteConnection&) = delete;

  // Every byte that has arrived and not been taken yet, in one receive; possibly none.
  std::string ReceiveText();
  // One non-blocking send: what the system does not take is not sent later, and a send
  // that would block is dropped.
  void SendText(std::string_view text);
  bool Closed() const { return !fd_.Valid(); }
  // Closes the connection without the disconnect event.
  void Close();
  // The peer's IPv4 address, network byte order.
  uint32_t PeerAddress() const { return peerAddress_; }

  TRemoteNotes Notes;

private:
  friend class TRemoteListener;
  static void OnPoll(uv_poll_t* handle, int status, int events);
  void HandleReadable();
  // A failed send or receive: the error event, then closing with the disconnect event.
  void Fail(int err);

  TRemoteListener& listener_;
  TFd fd_;
  TUvHandle<uv_poll_t> poll_;
  uint32_t peerAddress_;
};

// The non-blocking TCP listener of the remote-control service: all local addresses, the
// low 16 bits of Port, a backlog of 5. Its events arrive on the loop's thread.
class TRemoteListener {
public:
  using TConnectionProc = std::function<void(TRemoteConnection& connection)>;
  // The handler clears `errorCode` to say it dealt with the error; otherwise it is raised.
  using TErrorProc = std::function<void(TRemoteConnection& connection, int& errorCode)>;

  explicit TRemoteListener(uv_loop_t* loop);
  ~TRemoteListener();
  TRemoteListener(const TRemoteListener&) = delete;
  TRemoteListener& operator=(const TRemoteListener&) = delete;

  TConnectionProc OnClientConnect;
  TConnectionProc OnClientDisconnect;
  TConnectionProc OnClientRead;
  TErrorProc OnClientError;
  // The listener could not take a connection (out of descriptors, say); it then rests for a
  // moment rather than spin on the connection that keeps waiting.
  std::function<void(int errorCode)> OnAcceptError;

  int Port() const { return port_; }
  // Raises "Can't change value while socket is active" while active (unless unchanged).
  void SetPort(int port);
  bool Active() const { return fd_.Valid(); }
  // Activating raises TSocketError naming the call that failed ("bind" for a taken port).
  // Deactivating closes every connection without disconnect events.
  void SetActive(bool active);
  // The port actually listened on; 0 when inactive.
  int LocalPort() const;
  std::size_t ConnectionCount() const { return connections_.size(); }
  // Calls `visit` for every open connection.
  template <typename F>
  void ForEachConnection(F&& visit) {
    for (const auto& connection : connections_)
      if (!connection->Closed()) visit(*connection);
  }
  // Connections closed during an event are released once the event is over; one closed
  // outside the listener's own events is released here.
  void ReleaseClosed();

private:
  friend class TRemoteConnection;
  static void OnAccept(uv_poll_t* handle, int status, int events);
  void Activate();
  void Deactivate();
  void AcceptWaiting();
  void PauseAccepting(int err);
  void RaiseConnectionError(TRemoteConnection& connection, int err);

  uv_loop_t* loop_;
  int port_ = 0;
  TFd fd_;
  TUvHandle<uv_poll_t> poll_;
  TUvHandle<uv_timer_t> resume_;
  std::list<std::unique_ptr<TRemoteConnection>> connections_;
};

} // namespace gw
