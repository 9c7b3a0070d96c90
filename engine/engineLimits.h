#pragma once

#include <chrono>
#include <cstddef>

namespace gw {

// The engine's limits of sockets and time, each with its reason. Those of other parts stay
// with their own reasons beside the code they shape: who gets a relay in TAdmissionLimits
// (admission.h), the heartbeats in TMasterLimits (masters.h), repeated lines in
// TRepeatedLog (repeatedLog.h), the kernel's leases in fastPath.cpp and its tables in
// bpf/fastPathMap.h.
struct TEngineLimits {
  // --- Endpoints
  // A datagram must leave one byte of this free, so at most 2999 bytes are delivered; a
  // longer one is dropped whole and told as "Message too long" [10040]. What a game sends
  // is shorter (a status reply, the longest, is some 2 KB, and is rewritten in a string of
  // its own), while the shared receive batch and send queue hold a buffer this size per
  // slot. The kernel's fast path leaves the same datagrams to the sockets
  // (GW_FAST_PATH_MAX_PAYLOAD).
  static constexpr std::size_t kReceiveBufferSize = 3000;
  // Datagrams one endpoint delivers per wake-up before the loop turns to the others: a
  // flood at one endpoint cannot hold the relays of the others back longer than this many
  // handlers. The receive batch holds as many, so a busy endpoint is read with one
  // recvmmsg per wake-up.
  static constexpr int kMaxDatagramsPerWakeup = 64;
  // Wake-ups in a row that found one datagram each, after which an endpoint reads one at a
  // time with recvfrom (cheaper for a lone datagram than a batch read, which copies a header
  // per slot and fails a second attempt), and how often it then tries a batch again, which
  // ends the streak once datagrams queue up. Switching after one and trying every sixteenth
  // wake-up raised the p99 of a busy tunnel by a fifth: datagrams left behind waited too
  // long.
  static constexpr int kSingleReadsAfter = 2;
  static constexpr int kBatchProbeEvery = 4;
  // Datagrams sent from receive handlers that wait for the end of the loop's turn; a full
  // queue goes out at once. As many as one wake-up delivers, so the forwards of a busy
  // endpoint's batch leave together.
  static constexpr int kSendQueueDatagrams = kMaxDatagramsPerWakeup;
  // Descriptors that endpoints opened for new clients leave free, for what the program
  // opens besides them while a flood takes the rest: a reload's or a temporary tunnel's
  // endpoints, the settings file, a remote-control connection, a name lookup. Every
  // one kept is a client fewer at the limit, so the start's line counts them out of the
  // clients' room.
  static constexpr int kDescriptorReserve = 64;
  // The receive queue a tunnel's endpoint asks for (the system caps it at
  // net.core.rmem_max): a burst from a thousand clients arriving together waits in it,
  // where the default 208 KiB (some 256 small datagrams) overflowed and lost 2,905-2,976
  // datagrams in 3 s of a thousand clients. Relays' own endpoints each serve one client and
  // keep the default.
  static constexpr int kTunnelReceiveBufferBytes = 4 << 20;
  // A relay's upstream endpoint takes its server's datagrams from any of the server's ports
  // until the server has answered this many times from the port it is sent to, and never
  // from another: it is then connected to that port, so that the system keeps its route and
  // finds the socket without a look-up each way, some 4-8% of the relay's time per round
  // trip (measured with 16 clients of 4 in flight). A game client gets this many answers
  // within its first second; a server that answers from another port keeps the endpoint open
  // to all of its ports.
  static constexpr int kConnectAfterServerReplies = 16;

  // --- Time
  // A relay whose client has sent nothing for longer than this ends, and its socket and
  // port go back. A player's client sends tens of datagrams a second, so that much silence
  // is a client gone; shorter would end a player whose link stalls, longer holds a
  // descriptor and an ephemeral port per client that left. Administrators read the figure
  // in the log ("Closed connection from").
  static constexpr std::chrono::seconds kRelayIdleLimit{12};
  // A temporary tunnel ends, and its port goes back to the range, once no client of it has
  // sent for longer than this: time for the player who asked for it to join through it.
  // While its range or the descriptors run short (TRoom) only an established player's
  // datagrams count, so that a range of ports is not held by strangers' datagrams.
  static constexpr std::chrono::seconds kTemporaryTunnelIdleLimit{60};
  // The sweep: idle relays and tunnels end, counts and summaries are written, heartbeats
  // go. The fast path's flood check counts a sweep's new sources against a figure per
  // second (TAdmissionLimits::kFloodPerSecond), and idle limits are whole seconds, so a
  // relay ends at most a second past its limit.
  static constexpr std::chrono::seconds kSweepInterval{1};
  // Relays the sweep looks at in one turn of the loop, the rest in the turns after, so that
  // no turn holds the datagrams of the others for long: with 19,000 relays carried by the
  // kernel, whose memory its sockets leave cold, all of them took 4.6-6.2 ms in one turn;
  // 512 take 0.04 ms at the median and 0.1 ms at the longest, for 38 turns a second.
  static constexpr std::size_t kRelaysPerSweepTurn = 512;
  // This host's addresses are read again (getifaddrs, a dump of the interfaces) at most
  // this often, when asked: a forged source on one of our ports asks, so a flood of them
  // costs one reading a second, and an address the host gains counts as its own within a
  // second.
  static constexpr std::chrono::seconds kLocalAddressRefresh{1};
};

} // namespace gw
