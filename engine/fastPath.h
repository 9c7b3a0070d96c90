#pragma once

#include "clock.h"
#include "context.h"
#include "counts.h"
#include "hostAbout.h"
#include "repeatedLog.h"
#include "routeLookup.h"
#include "uvHandle.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace gw {

class TClient;
class TFastPathRelay;

// The kernel's fast path, one per process: a tc classifier on the ingress of every
// interface of this network namespace and the one table of relays it carries. User space
// still decides: a relay is carried only once its sockets exist, only while they keep seeing
// its datagrams, and anything the table does not know goes up to them. Loading can fail (no
// privileges, no BPF, a build without it); the object then says why, and nothing is carried.
// What the kernel saw of each relay (its last datagram, its counts) is read from the table
// in batches, a pass a second spread over the loop's turns, so that neither the sweep nor a
// scrape makes a system call per relay: with tens of thousands carried, those stalled the
// loop for tens of milliseconds. The pass runs half a second after the sweep: the sweep's
// turn is the loop's longest, and a batch read in it lengthened it by a millisecond.
class TFastPath {
public:
  // Loads the program and attaches it everywhere it can: through links the kernel removes
  // when this process ends, however it ends, or, on kernels without them, classic filters.
  explicit TFastPath(TEngineContext& context);
  // Detaches from every interface and removes the classifier queues it added; the program
  // and its table go with their last descriptor, nothing is pinned.
  ~TFastPath();
  TFastPath(const TFastPath&) = delete;
  TFastPath& operator=(const TFastPath&) = delete;

  // Removes the classic filters of ours that no running process holds (a killed one's),
  // whether or not this process uses the fast path; returns the line that says so, empty
  // when there were none.
  static std::string RemoveLeftovers();

  bool Loaded() const { return failure_.empty(); }
  // Why it is off; empty when loaded.
  const std::string& Failure() const { return failure_; }
  // Why datagrams through `interface` do not pass the program; empty when they do.
  std::string CannotCarryThrough(int interface) const;

  // Entries read from the table per turn of the loop, which a query waiting on that turn
  // waits for too: with 38,000 entries on a 2-core machine, 2,048 took 0.9-1.4 ms, 1,024
  // 0.6 ms at the median and 2.9 ms at the 99th percentile, 256 0.13 ms and 1.0 ms, for
  // some 150 reads a pass, a system call each, and the same time in all.
  static constexpr unsigned kEntriesPerRead = 256;

  // The sweep has run: the next pass over the table starts half a period later, away from
  // the sweep's turn. Called at every sweep; the pass keeps its pace of one a sweep.
  void Swept();

  // The routes and links as last told: moved on at every change, and the kernel hands a
  // flow written under another to the sockets until its route has been looked up again.
  uint32_t RouteGeneration() const { return routeGeneration_; }

  // What the kernel saw of one direction of a relay, as of the last reading.
  struct TSeen {
    uint64_t LastSeenNs = 0;
    TFlowCount Carried;
  };

private:
  friend class TFastPathRelay;
  friend class TFastPathPacing;
  struct TKernel;
  struct TAttachFailure {
    int Interface;
    std::string Reason;
  };
  // Where a reading delivers an entry: the relay's TSeen of that direction, and for the
  // client's direction the relay, which tells its watcher when the kernel carried a datagram.
  struct TReading {
    TSeen* Seen;
    TFastPathRelay* ClientOf;
  };
  // Reads the next batch of the table into the relays' TSeen; false once the pass is over.
  bool ReadSome();
  void RoutesChanged();

  std::unique_ptr<TKernel> kernel_;
  std::string failure_;
  std::vector<TAttachFailure> attachFailures_;
  std::unordered_map<uint64_t, TReading> seen_;
  TRepeatedLog readFailures_;
  TUvHandle<uv_timer_t> passTimer_;
  TUvHandle<uv_idle_t> reader_;
  bool passStarted_ = false;
  uint64_t passCursor_ = 0;
  uint32_t routeGeneration_ = 0;
  TRouteWatch routeWatch_{[this] { RoutesChanged(); }};
};

// One relay as the fast path carries it: the client's datagrams to the tunnel port go out
// from the relay's upstream port to the server, and the server's to that upstream port go
// back from the tunnel port to the client. Its two table entries exist as long as it does;
// each carries only for a short lease, which a datagram of its direction reaching the
// relay's sockets renews.
class TFastPathRelay {
public:
  struct TEnds {
    TPeerAddress Client;
    int TunnelPort = 0;
    TPeerAddress Server;
    int UpstreamPort = 0;
  };

  // Learns what the kernel did with the relays it carries as the table is read, a batch a
  // turn, rather than by a look at every relay in the sweep: at 19,000 relays that look took
  // 1.3-2.5 ms of the sweep's turn.
  class TWatcher {
  public:
    // The kernel carried a datagram of `relay`'s client at `at`, later than the reading before
    // had seen.
    virtual void ClientCarried(TClient& relay, TTime at) = 0;
    // A renewal of a relay's lease failed: that relay says so through Failure.
    virtual void RenewalFailed() = 0;

  protected:
    ~TWatcher() = default;
  };

  // Installs both entries of `relay`, leased from `now`, told to `watcher`; null, with the
  // reason in `failure`, when the routes or the table refuse.
  static std::unique_ptr<TFastPathRelay> Install(TFastPath& path, const TEnds& ends, TTime now, TWatcher& watcher,
                                                 TClient& relay, std::string& failure);
  ~TFastPathRelay();
  TFastPathRelay(const TFastPathRelay&) = delete;
  TFastPathRelay& operator=(const TFastPathRelay&) = delete;

  // A datagram of the client's, or of the server's, reached the relay's sockets at `now`:
  // the host's rules let it through, so that direction is carried for another lease. After a
  // change of the routes, the direction's route is looked up again first, once: the entry
  // then leaves through the route's interface now, or, when the kernel cannot carry through
  // it (no route, an interface the program is not on), stays with the sockets until the next
  // change.
  void RenewFromClient(TTime now) { Renew(fromClient_, now); }
  void RenewFromServer(TTime now) { Renew(fromServer_, now); }
  // Why a renewal failed (the flow then stays on the sockets); empty while none did.
  const std::string& Failure() const { return failure_; }

  // What the kernel carried of this relay, each way, as of the last reading.
  TRelayCounts Carried() const { return {fromClientSeen_.Carried, fromServerSeen_.Carried}; }
  // The same, read from the table now: the relay's final figures, when it leaves the kernel.
  TRelayCounts CarriedNow();

private:
  struct TKey {
    uint32_t Address;
    uint16_t Port;
    uint16_t LocalPort;
  };
  // One direction's entry: its key, where its datagrams go (the route looked up there), and
  // whether they leave from the route's own address (the tunnel's socket, bound to any
  // address) or keep the one they were given (the upstream socket, connected, keeps its
  // address whatever the route). The entry carries under route generation Carries; its route
  // was last looked up under LookedUp, which a failed look-up leaves ahead of it.
  struct TLease {
    const TKey Key;
    const uint32_t Destination;
    const bool SourceFollowsRoute;
    TTime RenewedAt;
    uint32_t Carries;
    uint32_t LookedUp;
  };
  friend class TFastPath;
  TFastPathRelay(TFastPath& path, const TEnds& ends, TKey fromClient, TKey fromServer, TTime now, uint32_t routes,
                 TWatcher& watcher, TClient& relay);
  void Renew(TLease& lease, TTime now);
  bool Reroute(TLease& lease, TTime now);
  void ReadNow(const TKey& key, TFastPath::TSeen& seen);

  TFastPath& path_;
  TWatcher& watcher_;
  TClient& relay_;
  TLease fromClient_;
  TLease fromServer_;
  TFastPath::TSeen fromClientSeen_;
  TFastPath::TSeen fromServerSeen_;
  std::string failure_;
};

// A tunnel port whose new sources the kernel turns away while they come as a flood: past
// the pace (TTrialPace), or faster than TAdmissionLimits::kFloodPerSecond, forged sources are
// dropped before they reach the socket, so that they cost neither the relay's loop nor the
// processors the carried players need. A source that comes back still goes up to the socket, where the
// pace lets it go first. The kernel knows no relay but those it carries: the tunnel paces
// in the kernel only while it carries every relay its server answered.
class TFastPathPacing {
public:
  TFastPathPacing(TFastPath& path, int tunnelPort);
  // The kernel stops turning the port's sources away.
  ~TFastPathPacing() { Stop(); }
  TFastPathPacing(const TFastPathPacing&) = delete;
  TFastPathPacing& operator=(const TFastPathPacing&) = delete;

  // Whether the kernel turns new sources away at `now`, or the last attempt to have it do
  // so failed and waits its turn.
  bool Pacing(TTime now) const { return now < until_; }
  // Has the kernel turn new sources away for a while from `now`: started, or renewed. When
  // the table refuses, Failure says why, and the next attempt waits as long.
  void TurnAwayFrom(TTime now);
  void Stop();
  const std::string& Failure() const { return failure_; }
  // The datagrams the kernel turned away since the last call.
  uint64_t TakeTurnedAway();

private:
  TFastPath& path_;
  const uint16_t port_;
  bool installed_ = false;
  TTime until_{};
  uint64_t turnedAwayTaken_ = 0;
  std::string failure_;
};

} // namespace gw
