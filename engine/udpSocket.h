#pragma once

#include "engineLimits.h"
#include "hostAbout.h"
#include "uvHandle.h"

#include <cstddef>
#include <functional>
#include <span>
#include <string>

struct sockaddr_in;

namespace gw {

class TSendQueue;

// A non-blocking IPv4 datagram endpoint bound to a local port, with a destination for
// sending. When datagrams are waiting it reads them in batches and raises OnReceive once
// per datagram, up to a fairness bound per wake-up; the event loop wakes it again for the
// rest. Datagrams sent from inside an OnReceive handler are queued and go out together at
// the end of the loop's turn (one system call for each run through the same endpoint);
// sent from anywhere else they go out at once. It never raises: every failure goes to
// OnError as a readable text and its number.
class TudpSocket {
public:
  using TerrorProc = std::function<void(const std::string& msg, int num)>;
  // `data` is valid only during the call.
  using TreceiveProc =
      std::function<void(TudpSocket& sender, std::span<const char> data, const TPeerAddress& from)>;

  // The endpoints' limits; TEngineLimits gives each one's reason.
  static constexpr std::size_t kReceiveBufferSize = TEngineLimits::kReceiveBufferSize;
  static constexpr int kMaxDatagramsPerWakeup = TEngineLimits::kMaxDatagramsPerWakeup;
  // Wake-ups in a row with exactly one datagram, after which the endpoint reads one at a
  // time (see singleStreak_).
  static constexpr int kSingleReadsAfter = TEngineLimits::kSingleReadsAfter;

  explicit TudpSocket(uv_loop_t* loop);
  ~TudpSocket();
  TudpSocket(const TudpSocket&) = delete;
  TudpSocket& operator=(const TudpSocket&) = delete;

  TerrorProc OnError;
  TreceiveProc OnReceive;
  // The local port to bind, host byte order; 0 lets the system pick one.
  int Port = 0;
  // The local address to bind, network byte order; 0 binds every address. An endpoint that
  // takes datagrams from more than one peer port without being connected binds the one
  // address its route leaves from, so that it owns its port there only (IsOwnEndpoint).
  uint32_t BindAddress = 0;
  // The receive queue asked of the system at Open, in bytes (it caps the figure at its
  // maximum); 0 keeps the system's default.
  int ReceiveBufferBytes = 0;
  // Open refuses ("Too many open files") when fewer than kDescriptorReserve descriptors
  // would be left, so that endpoints opened for strangers never take the last of them.
  bool KeepDescriptorReserve = false;
  static constexpr int kDescriptorReserve = TEngineLimits::kDescriptorReserve;

  // Binds and starts watching; an open endpoint is closed first. Failures are reported
  // and leave the endpoint inactive.
  void Open();
  // Closes the socket if there is one; does nothing otherwise.
  void Close();
  bool Active() const { return fd_.Valid(); }
  // The port actually bound, host byte order; 0 when inactive.
  int LocalPort() const { return Active() ? boundPort_ : 0; }
  // True while an endpoint of this process is bound to `port` (host byte order).
  static bool IsOwnPort(int port);
  // True while an endpoint of this process sends from `address` (network byte order) and
  // `port` (host byte order): bound to the port on any address, or connected from that one.
  static bool IsOwnEndpoint(uint32_t address, int port);
  // The local address (network byte order) the system's routes send from towards `peer`;
  // 0 when there is no route or the question fails.
  static uint32_t LocalAddressToward(const TPeerAddress& peer);

  // Takes datagrams from `peer` only, and sends there without naming it: the system
  // filters the sources and keeps the route. Failures are reported; false then.
  bool Connect(const TPeerAddress& peer);
  bool Connected() const { return connected_; }

  // Sets the destination's text and resolves it at once (blocking for a host name).
  void SetLocation(const std::string& location);
  void SetSendPort(int port) { destination_.Port = port; }
  const ThostAbout& Destination() const { return destination_; }

  // Sends one datagram to the destination, or to the connected peer; an empty one is sent
  // as such. False when it failed, or, for a queued datagram, when it could not even be
  // queued.
  bool SendBuffer(std::span<const char> data);
  // Sends one datagram to `to`, leaving the destination alone.
  bool SendTo(const TPeerAddress& to, std::span<const char> data);

  // Builds the error text and hands it to OnError, or without one to the presenter.
  // A message starting with "+" is added in parentheses to the code's text.
  void ReportError(int code, const std::string& message = {});

private:
  friend class TSendQueue;

  static void OnPoll(uv_poll_t* handle, int status, int events);
  void Drain(const uv_poll_t& handle);
  // Read into the shared batch; the number of datagrams, or -1 with errno set.
  int ReceiveBatch();
  int ReceiveOne();
  void ReportErrno(int err, const std::string& message = {});
  // `to` is null for the connected peer.
  bool Send(const sockaddr_in* to, std::span<const char> data);

  uv_loop_t* loop_;
  ThostAbout destination_;
  // The handles are declared after the descriptor, so they stop before the descriptor
  // closes. `flush_` sends the queued datagrams at the end of the loop's turn.
  TFd fd_;
  TUvHandle<uv_poll_t> poll_;
  TUvHandle<uv_check_t> flush_;
  int boundPort_ = 0;
  bool connected_ = false;
  // Wake-ups in a row that found exactly one datagram. Most endpoints see one datagram per
  // wake-up (a relay's server answers one client), and for them a batch read costs more
  // than the datagram: a header copy per slot and a second, failing attempt. Once the
  // streak reaches kSingleReadsAfter the endpoint reads one datagram per wake-up with
  // recvfrom, and level-triggered polling wakes it again for anything left behind; every
  // kBatchProbeEvery-th wake-up from then on reads a batch again (at kBatchProbeAt), which
  // ends the streak as soon as datagrams queue up.
  int singleStreak_ = 0;
  static constexpr int kBatchProbeAt = kSingleReadsAfter + TEngineLimits::kBatchProbeEvery - 1;
};

// The text shown when an endpoint without OnError meets an error.
std::string UnhandledSocketErrorText(const std::string& text, int code);

} // namespace gw
