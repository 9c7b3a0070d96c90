#include "fastPath.h"

#include "admission.h"
#include "presenter.h"
#include "udpSocket.h"

#include <cerrno>
#include <cstring>

#ifdef GW_HAVE_FAST_PATH
#include "fastPath.skel.h"
#include "fastPathMap.h"

#include "uvHandle.h"

#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <bit>
#include <cstddef>
#include <fstream>
#include <string>
#include <utility>
#endif

namespace gw {

#ifdef GW_HAVE_FAST_PATH

namespace {

// A classic filter's place on every ingress hook: a fixed handle and priority, so that one
// left behind by a program that was killed is found, and replaced rather than doubled.
constexpr uint32_t kTcHandle = 0x4757;
constexpr uint32_t kTcPriority = 0x4757;
// A tc link (BPF_TCX_INGRESS, Linux 6.6) goes when its last descriptor does, so with the
// process; Debian 12's headers (Linux 6.1) do not name it yet.
constexpr auto kTcxIngress = static_cast<bpf_attach_type>(46);
// An entry carries for this long after the sockets last saw a datagram of its direction, so
// a host rule that starts dropping a player's datagrams reaches a carried player within it.
// Short, since it is the delay of a ban; long enough that the datagrams going up cost nothing
// beside those carried (one per direction and lease).
constexpr std::chrono::nanoseconds kLease = std::chrono::seconds(2);
// Datagrams the kernel leaves to the sockets (too long for the link, fragments) renew it no
// more often than this: one table write, not one per datagram. The lease still has at least
// three quarters left after every datagram the sockets see.
constexpr std::chrono::nanoseconds kRenewAfter = kLease / 4;
// The kernel turns a tunnel's new sources away for this long after the pace turned one
// away, or the sweep saw them come as a flood: the sweep, once a second, renews it while
// the flood lasts, and the port takes new sources up again a second or two after.
constexpr std::chrono::nanoseconds kPacingHold = std::chrono::seconds(2);
// A pass over the table starts this long after each sweep: half way between two sweeps, so
// that no batch read falls in a sweep's turn.
constexpr uint64_t kPassAfterSweepMs = std::chrono::milliseconds(TEngineLimits::kSweepInterval).count() / 2;
// The kernel leaves to the sockets what they would drop as too long, and nothing more.
static_assert(GW_FAST_PATH_MAX_PAYLOAD == TudpSocket::kReceiveBufferSize);
// The kernel carries a player's most datagrams a second, and leaves the rest to the sockets.
static_assert(GW_FLOW_DATAGRAMS_PER_SECOND == TAdmissionLimits::kMostPlayerDatagramsPerSecond);
// The program holds the pace's figures until the loader sets them, for its own tests.
static_assert(GW_COMES_BACK_AFTER_NS == std::chrono::nanoseconds(TAdmissionLimits::kComesBackAfter).count());
static_assert(GW_TURNED_AWAY_REMEMBERED_NS ==
              std::chrono::nanoseconds(TAdmissionLimits::kTurnedAwayRemembered).count());
// /sys/class/net/*/type: the program reads an Ethernet header, which these two carry.
constexpr int kArpHardwareEthernet = 1;
constexpr int kArpHardwareLoopback = 772;

std::string ErrorText(int error) { return std::strerror(error < 0 ? -error : error); }

uint64_t FlowKey(const gw_flow_key& key) {
  uint64_t packed = 0;
  static_assert(sizeof packed == sizeof key);
  std::memcpy(&packed, &key, sizeof key);
  return packed;
}

uint64_t Nanoseconds(std::chrono::nanoseconds span) { return static_cast<uint64_t>(span.count()); }

uint64_t KernelTime(TTime time) {
  return Nanoseconds(std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()));
}

// A process that attached a classic filter holds this name in the namespace's abstract
// socket space for as long as it runs: the kernel lets it go when the process ends, however
// it ends. Claimed with success, the filter is nobody's. Fails with `error` set otherwise
// (EADDRINUSE: a running process holds it).
TFd ClaimFilter(uint32_t program, int& error) {
  TFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const std::string name = "gatewarden-fast-path-" + std::to_string(program);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    error = errno;
    return TFd();
  }
  error = 0;
  return fd;
}

bpf_tc_hook IngressHook(int interface) {
  bpf_tc_hook hook{};
  hook.sz = sizeof hook;
  hook.ifindex = interface;
  hook.attach_point = BPF_TC_INGRESS;
  return hook;
}

bpf_tc_opts FilterPlace() {
  bpf_tc_opts options{};
  options.sz = sizeof options;
  options.handle = kTcHandle;
  options.priority = kTcPriority;
  return options;
}

using TInterfaces = std::unique_ptr<struct if_nameindex, decltype(&if_freenameindex)>;
TInterfaces ListInterfaces() { return {if_nameindex(), &if_freenameindex}; }

// The system's own words for an errno, with its name: "Operation not permitted (EPERM)".
std::string SystemError(int error) {
  const char* name = strerrorname_np(error);
  return std::string(std::strerror(error)) + " (" + (name ? name : std::to_string(error)) + ")";
}

// Whether this process holds a capability, from the effective set in /proc/self/status, and
// whether a seccomp filter sieves its system calls: the two reasons bpf() refuses with EPERM.
struct TPrivileges {
  uint64_t Effective = 0;
  bool Filtered = false;
  bool Has(int capability) const { return (Effective >> capability) & 1U; }
};

TPrivileges ReadPrivileges() {
  TPrivileges privileges;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("CapEff:")) privileges.Effective = std::stoull(line.substr(7), nullptr, 16);
    if (line.starts_with("Seccomp:")) privileges.Filtered = line.find('2', 8) != std::string::npos;
  }
  return privileges;
}

// Why the bpf() calls that load the program and its tables failed, and what mends it.
std::string LoadFailure(int error) {
  std::string text = "the bpf() call that loads the program failed: " + SystemError(error);
  if (error != EPERM && error != EACCES) return text;
  // Not in Debian 12's headers for every architecture.
  constexpr int kCapBpf = 39;
  constexpr int kCapNetAdmin = 12;
  const TPrivileges privileges = ReadPrivileges();
  std::string missing;
  if (!privileges.Has(kCapBpf)) missing = "CAP_BPF";
  if (!privileges.Has(kCapNetAdmin)) missing += (missing.empty() ? "" : " and ") + std::string("CAP_NET_ADMIN");
  if (!missing.empty()) return text + "; it needs CAP_BPF and CAP_NET_ADMIN, and this process lacks " + missing;
  if (privileges.Filtered)
    return text + "; the process has CAP_BPF and CAP_NET_ADMIN, so its seccomp filter refuses bpf() (allow it: "
                  "SystemCallFilter=bpf for a service, --system-call-filter=bpf for systemd-nspawn)";
  return text + "; the process has CAP_BPF and CAP_NET_ADMIN (a security module may refuse it)";
}

int ReadNumber(const std::string& path, int fallback) {
  std::ifstream file(path);
  int value = fallback;
  file >> value;
  return file ? value : fallback;
}

} // namespace

struct TFastPath::TKernel {
  struct THook {
    bpf_tc_hook Hook;
    // The clsact queue was made by us and goes with us; one that was there stays.
    bool Created;
  };
  std::unique_ptr<gw_fast_path_bpf, decltype(&gw_fast_path_bpf__destroy)> Skeleton{nullptr,
                                                                                   &gw_fast_path_bpf__destroy};
  // Interfaces the program is on, through a link or a classic filter.
  std::vector<int> Attached;
  std::vector<TFd> Links;
  std::vector<THook> Hooks;
  // Says that the classic filters are a running process's (ClaimFilter).
  TFd FilterClaim;
  int Table = -1;
  int PacedPorts = -1;
  // Where a reading of the table puts a batch.
  std::vector<gw_flow_key> Keys = std::vector<gw_flow_key>(kEntriesPerRead);
  std::vector<gw_flow> Flows = std::vector<gw_flow>(kEntriesPerRead);

  std::string Attach(int interface, const char* name) {
    const int type = ReadNumber(std::string("/sys/class/net/") + name + "/type", 0);
    if (type != kArpHardwareEthernet && type != kArpHardwareLoopback) return "not an Ethernet interface";
    const int link = bpf_link_create(bpf_program__fd(Skeleton->progs.gw_fast_path), interface, kTcxIngress, nullptr);
    // Before Linux 6.6 the kernel does not know the attach type.
    std::string failure = link >= 0 ? "" : link == -EINVAL ? AttachFilter(interface) : ErrorText(link);
    if (link >= 0) Links.emplace_back(link);
    if (failure.empty()) Attached.push_back(interface);
    return failure;
  }

  std::string AttachFilter(int interface) {
    THook hook{IngressHook(interface), false};
    const int created = bpf_tc_hook_create(&hook.Hook);
    if (created != 0 && created != -EEXIST) return ErrorText(created);
    hook.Created = created == 0;
    bpf_tc_opts options = FilterPlace();
    options.prog_fd = bpf_program__fd(Skeleton->progs.gw_fast_path);
    options.flags = BPF_TC_F_REPLACE;
    if (const int attached = bpf_tc_attach(&hook.Hook, &options); attached != 0) {
      if (hook.Created) Destroy(hook);
      return ErrorText(attached);
    }
    // Claimed at the first filter: a later start then knows they are not a killed process's.
    int claimed = 0;
    if (!FilterClaim.Valid()) FilterClaim = ClaimFilter(options.prog_id, claimed);
    if (claimed != 0) {
      Detach(hook);
      return "cannot claim the filter: " + ErrorText(claimed);
    }
    Hooks.push_back(hook);
    return {};
  }

  static void Detach(THook& hook) {
    bpf_tc_opts options = FilterPlace();
    // An interface that has gone took its hook with it; there is nothing left to undo.
    bpf_tc_detach(&hook.Hook, &options);
    if (hook.Created) Destroy(hook);
  }

  static void Destroy(THook& hook) {
    hook.Hook.attach_point = static_cast<bpf_tc_attach_point>(BPF_TC_INGRESS | BPF_TC_EGRESS);
    bpf_tc_hook_destroy(&hook.Hook);
  }

  // The links go with their descriptors.
  ~TKernel() {
    for (THook& hook : Hooks) Detach(hook);
  }
};

TFastPath::TFastPath(TEngineContext& context) : kernel_(std::make_unique<TKernel>()), readFailures_(context) {
  // Failures are reported through the texts below; libbpf's own lines would only repeat them.
  libbpf_set_print(nullptr);
  kernel_->Skeleton.reset(gw_fast_path_bpf__open());
  if (!kernel_->Skeleton) {
    failure_ = "cannot open the BPF program: " + ErrorText(errno);
    return;
  }
  kernel_->Skeleton->rodata->kDefaultTtl =
      static_cast<uint8_t>(ReadNumber("/proc/sys/net/ipv4/ip_default_ttl", GW_DEFAULT_TTL));
  kernel_->Skeleton->rodata->kComesBackAfterNs = Nanoseconds(TAdmissionLimits::kComesBackAfter);
  kernel_->Skeleton->rodata->kTurnedAwayRememberedNs = Nanoseconds(TAdmissionLimits::kTurnedAwayRemembered);
  if (const int loaded = gw_fast_path_bpf__load(kernel_->Skeleton.get()); loaded != 0) {
    failure_ = LoadFailure(-loaded);
    kernel_.reset();
    return;
  }
  kernel_->Table = bpf_map__fd(kernel_->Skeleton->maps.flows);
  kernel_->PacedPorts = bpf_map__fd(kernel_->Skeleton->maps.paced_ports);
  // Without word of the routes' changes a carried flow would keep an interface the route has
  // left: nothing is carried then.
  if (std::string reason = routeWatch_.Start(context.Loop()); !reason.empty()) {
    failure_ = std::move(reason);
    kernel_.reset();
    return;
  }

  const TInterfaces interfaces = ListInterfaces();
  if (!interfaces) {
    failure_ = "cannot list the interfaces: " + ErrorText(errno);
    kernel_.reset();
    return;
  }
  for (const struct if_nameindex* entry = interfaces.get(); entry->if_index != 0; ++entry) {
    std::string reason = kernel_->Attach(static_cast<int>(entry->if_index), entry->if_name);
    if (!reason.empty())
      attachFailures_.push_back({static_cast<int>(entry->if_index), "cannot attach to " + std::string(entry->if_name) +
                                                                         ": " + reason});
  }

  // A pass over the table after each sweep, a batch a turn of the loop, each turn's idle moment.
  auto reader = std::make_unique<uv_idle_t>();
  uv_idle_init(context.Loop(), reader.get()); // cannot fail on Linux
  reader_.reset(reader.release());
  reader_->data = this;
  passTimer_ = MakeTimer(context.Loop(), this);
}

void TFastPath::Swept() {
  if (!passTimer_) return;
  uv_timer_start(
      passTimer_.get(),
      [](uv_timer_t* timer) {
        auto* self = static_cast<TFastPath*>(timer->data);
        if (!self) return;
        self->passStarted_ = false;
        uv_idle_start(self->reader_.get(), [](uv_idle_t* idle) {
          auto* path = static_cast<TFastPath*>(idle->data);
          if (path) RunGuarded([&] {
              if (!path->ReadSome()) uv_idle_stop(idle);
            });
        });
      },
      kPassAfterSweepMs, 0);
}

bool TFastPath::ReadSome() {
  auto count = static_cast<__u32>(kEntriesPerRead);
  uint64_t next = 0;
  const int status = bpf_map_lookup_batch(kernel_->Table, passStarted_ ? &passCursor_ : nullptr, &next,
                                          kernel_->Keys.data(), kernel_->Flows.data(), &count, nullptr);
  passStarted_ = true;
  passCursor_ = next;
  for (__u32 i = 0; i < count; ++i) {
    const auto found = seen_.find(FlowKey(kernel_->Keys[i]));
    if (found == seen_.end()) continue;
    const TReading reading = found->second;
    const gw_flow& flow = kernel_->Flows[i];
    const bool later = flow.last_seen_ns > reading.Seen->LastSeenNs;
    *reading.Seen = {flow.last_seen_ns, {flow.datagrams, flow.bytes}};
    if (later && reading.ClientOf)
      reading.ClientOf->watcher_.ClientCarried(reading.ClientOf->relay_,
                                               TTime{std::chrono::nanoseconds{flow.last_seen_ns}});
  }
  // The table's end; anything else stops this pass, and the next tries again.
  if (status != 0 && status != -ENOENT)
    readFailures_.Write(status, [&] { return "Cannot read the fast path's table: " + ErrorText(status); });
  return status == 0;
}

TFastPath::~TFastPath() = default;

void TFastPath::RoutesChanged() {
  // The program's copy is shared memory: no system call, and every processor sees it at its
  // next datagram.
  std::atomic_ref<uint32_t>(kernel_->Skeleton->bss->route_generation).store(++routeGeneration_,
                                                                            std::memory_order_relaxed);
}

std::string TFastPath::RemoveLeftovers() {
  libbpf_set_print(nullptr);
  const TInterfaces interfaces = ListInterfaces();
  // A service kept from netlink (the packaged unit without the fast path's drop-in) can
  // neither look nor remove, and nothing it ran can have attached a filter.
  if (!interfaces && errno == EAFNOSUPPORT) return {};
  if (!interfaces) return "Cannot look for fast path filters left behind: " + ErrorText(errno);
  std::string removed;
  std::string failed;
  for (const struct if_nameindex* entry = interfaces.get(); entry->if_index != 0; ++entry) {
    bpf_tc_hook hook = IngressHook(static_cast<int>(entry->if_index));
    bpf_tc_opts found = FilterPlace();
    // No classifier queue (EINVAL), no filter in our place (ENOENT), the interface gone.
    const int queried = bpf_tc_query(&hook, &found);
    if (queried == -EINVAL || queried == -ENOENT || queried == -ENODEV) continue;
    int status = queried;
    if (status == 0) {
      const TFd claim = ClaimFilter(found.prog_id, status);
      if (status == EADDRINUSE) continue; // a running relay's
    }
    bpf_tc_opts place = FilterPlace();
    if (status == 0) status = bpf_tc_detach(&hook, &place);
    if (status == 0)
      removed += (removed.empty() ? "" : ", ") + std::string(entry->if_name);
    else
      failed += (failed.empty() ? "" : ", ") + std::string(entry->if_name) + ": " + ErrorText(status);
  }
  std::string line;
  if (!removed.empty()) line = "Removed the fast path filter a killed process left on " + removed;
  if (!failed.empty())
    line += (line.empty() ? "Cannot remove the fast path filter a killed process left on " : "; cannot on ") + failed;
  return line;
}

std::string TFastPath::CannotCarryThrough(int interface) const {
  if (!Loaded()) return failure_;
  for (const TAttachFailure& failed : attachFailures_)
    if (failed.Interface == interface) return failed.Reason;
  for (const int attached : kernel_->Attached)
    if (attached == interface) return {};
  char name[IF_NAMESIZE] = {};
  return "interface " + std::string(if_indextoname(static_cast<unsigned>(interface), name) ? name : "?") +
         " came after the fast path was loaded";
}

namespace {

// Datagrams sent to `local` (the address the relay's socket receives them at) leave from
// `source`, the route's address, as the relay's sockets, bound to any address, would send.
gw_flow Outgoing(uint32_t local, uint32_t source, const TPeerAddress& from, const TPeerAddress& to,
                 const TRoute& route, TTime now, uint32_t routes) {
  gw_flow flow{};
  flow.route_generation = routes;
  flow.local_addr = local;
  flow.new_saddr = source;
  flow.new_sport = htons(from.Port);
  flow.new_daddr = to.Address;
  flow.new_dport = htons(to.Port);
  flow.out_ifindex = route.Local ? 0u : static_cast<uint32_t>(route.Interface);
  flow.carry_until_ns = KernelTime(now + kLease);
  return flow;
}

} // namespace

std::unique_ptr<TFastPathRelay> TFastPathRelay::Install(TFastPath& path, const TEnds& ends, TTime now,
                                                        TWatcher& watcher, TClient& relay, std::string& failure) {
  if (!path.Loaded()) {
    failure = path.Failure();
    return nullptr;
  }
  // The routes as they are before they are asked: a change told later is looked up again.
  const uint32_t routes = path.RouteGeneration();
  const std::optional<TRoute> toClient = RouteTo(ends.Client.Address, failure);
  if (!toClient) return nullptr;
  const std::optional<TRoute> toServer = RouteTo(ends.Server.Address, failure);
  if (!toServer) return nullptr;
  // Each direction is read where it arrives: the client's side and the server's side.
  for (const TRoute* route : {&*toClient, &*toServer}) {
    failure = path.CannotCarryThrough(route->Interface);
    if (!failure.empty()) return nullptr;
  }

  static_assert(sizeof(TKey) == sizeof(gw_flow_key));
  const auto tunnelPort = static_cast<uint16_t>(ends.TunnelPort);
  const auto upstreamPort = static_cast<uint16_t>(ends.UpstreamPort);
  const TKey fromClient{ends.Client.Address, htons(ends.Client.Port), htons(tunnelPort)};
  const TKey fromServer{ends.Server.Address, htons(ends.Server.Port), htons(upstreamPort)};
  // The upstream socket, connected, receives at the address of the route to the server. The
  // tunnel's, bound to any address, answers from that of the route to the client: a client
  // sending to another address of this host would not take those answers (its own NAT would
  // drop them), so the client's entry takes what is sent to that one.
  const gw_flow toServerFlow =
      Outgoing(toClient->Source, toServer->Source, {0, upstreamPort}, ends.Server, *toServer, now, routes);
  const gw_flow toClientFlow =
      Outgoing(toServer->Source, toClient->Source, {0, tunnelPort}, ends.Client, *toClient, now, routes);

  const int table = path.kernel_->Table;
  if (bpf_map_update_elem(table, &fromServer, &toClientFlow, BPF_ANY) != 0) {
    failure = "the fast path's table refused a relay: " + ErrorText(errno);
    return nullptr;
  }
  // Made now, the relay takes the first entry away again if the second fails.
  std::unique_ptr<TFastPathRelay> carried(
      new TFastPathRelay(path, ends, fromClient, fromServer, now, routes, watcher, relay));
  if (bpf_map_update_elem(table, &fromClient, &toServerFlow, BPF_ANY) != 0) {
    failure = "the fast path's table refused a relay: " + ErrorText(errno);
    return nullptr;
  }
  return carried;
}

TFastPathRelay::TFastPathRelay(TFastPath& path, const TEnds& ends, TKey fromClient, TKey fromServer, TTime now,
                               uint32_t routes, TWatcher& watcher, TClient& relay)
    : path_(path), watcher_(watcher), relay_(relay),
      fromClient_{fromClient, ends.Server.Address, false, now, routes, routes},
      fromServer_{fromServer, ends.Client.Address, true, now, routes, routes} {
  path_.seen_[FlowKey(std::bit_cast<gw_flow_key>(fromClient))] = {&fromClientSeen_, this};
  path_.seen_[FlowKey(std::bit_cast<gw_flow_key>(fromServer))] = {&fromServerSeen_, nullptr};
}

TFastPathRelay::~TFastPathRelay() {
  path_.seen_.erase(FlowKey(std::bit_cast<gw_flow_key>(fromClient_.Key)));
  path_.seen_.erase(FlowKey(std::bit_cast<gw_flow_key>(fromServer_.Key)));
  // Both keys were installed by this relay; a missing one leaves nothing to remove.
  bpf_map_delete_elem(path_.kernel_->Table, &fromClient_.Key);
  bpf_map_delete_elem(path_.kernel_->Table, &fromServer_.Key);
}

void TFastPathRelay::Renew(TLease& lease, TTime now) {
  if (!failure_.empty()) return;
  if (lease.LookedUp != path_.RouteGeneration()) {
    Reroute(lease, now);
    return;
  }
  // An entry whose route the kernel cannot take waits for the next change.
  if (now - lease.RenewedAt < kRenewAfter || lease.Carries != lease.LookedUp) return;
  // Read, then written whole: a datagram the kernel carries in between may go uncounted,
  // and its time is `now` anyway, since the sockets see the flow.
  gw_flow flow{};
  const int table = path_.kernel_->Table;
  bool renewed = bpf_map_lookup_elem(table, &lease.Key, &flow) == 0;
  if (renewed) {
    flow.carry_until_ns = KernelTime(now + kLease);
    renewed = bpf_map_update_elem(table, &lease.Key, &flow, BPF_EXIST) == 0;
  }
  if (renewed) {
    lease.RenewedAt = now;
    return;
  }
  failure_ = "the fast path's table refused a renewal: " + ErrorText(errno);
  watcher_.RenewalFailed();
}

bool TFastPathRelay::Reroute(TLease& lease, TTime now) {
  lease.LookedUp = path_.RouteGeneration();
  std::string unused;
  const std::optional<TRoute> route = RouteTo(lease.Destination, unused);
  if (!route || !path_.CannotCarryThrough(route->Interface).empty()) return false;
  gw_flow flow{};
  const int table = path_.kernel_->Table;
  bool rerouted = bpf_map_lookup_elem(table, &lease.Key, &flow) == 0;
  if (rerouted) {
    flow.out_ifindex = route->Local ? 0u : static_cast<uint32_t>(route->Interface);
    if (lease.SourceFollowsRoute) flow.new_saddr = route->Source;
    flow.route_generation = lease.LookedUp;
    flow.carry_until_ns = KernelTime(now + kLease);
    rerouted = bpf_map_update_elem(table, &lease.Key, &flow, BPF_EXIST) == 0;
  }
  if (rerouted) {
    lease.Carries = lease.LookedUp;
    lease.RenewedAt = now;
    return true;
  }
  failure_ = "the fast path's table refused a renewal: " + ErrorText(errno);
  watcher_.RenewalFailed();
  return false;
}

TRelayCounts TFastPathRelay::CarriedNow() {
  ReadNow(fromClient_.Key, fromClientSeen_);
  ReadNow(fromServer_.Key, fromServerSeen_);
  return Carried();
}

void TFastPathRelay::ReadNow(const TKey& key, TFastPath::TSeen& seen) {
  gw_flow flow{};
  // An entry the table no longer holds keeps the figures last read.
  if (bpf_map_lookup_elem(path_.kernel_->Table, &key, &flow) == 0) seen = {flow.last_seen_ns, {flow.datagrams, flow.bytes}};
}

TFastPathPacing::TFastPathPacing(TFastPath& path, int tunnelPort)
    : path_(path), port_(htons(static_cast<uint16_t>(tunnelPort))) {}

void TFastPathPacing::TurnAwayFrom(TTime now) {
  until_ = now + kPacingHold;
  // The count goes on from what the entry holds: it is read, then written whole.
  gw_paced_port paced{};
  const int table = path_.kernel_->PacedPorts;
  if (installed_) bpf_map_lookup_elem(table, &port_, &paced);
  paced.until_ns = KernelTime(until_);
  if (bpf_map_update_elem(table, &port_, &paced, BPF_ANY) != 0) {
    failure_ = "the fast path's table refused to turn new clients away: " + ErrorText(errno);
    return;
  }
  failure_.clear();
  installed_ = true;
}

void TFastPathPacing::Stop() {
  until_ = {};
  if (!std::exchange(installed_, false)) return;
  // Installed by this object; a missing entry leaves nothing to remove.
  bpf_map_delete_elem(path_.kernel_->PacedPorts, &port_);
  turnedAwayTaken_ = 0;
}

uint64_t TFastPathPacing::TakeTurnedAway() {
  gw_paced_port paced{};
  if (!installed_ || bpf_map_lookup_elem(path_.kernel_->PacedPorts, &port_, &paced) != 0) return 0;
  return paced.turned_away - std::exchange(turnedAwayTaken_, paced.turned_away);
}

#else

struct TFastPath::TKernel {};

TFastPath::TFastPath(TEngineContext& context) : failure_("this build has no BPF support"), readFailures_(context) {}
TFastPath::~TFastPath() = default;
void TFastPath::Swept() {}
// Without BPF support nothing of ours can be found or removed.
std::string TFastPath::RemoveLeftovers() { return {}; }
std::string TFastPath::CannotCarryThrough(int) const { return failure_; }

std::unique_ptr<TFastPathRelay> TFastPathRelay::Install(TFastPath& path, const TEnds&, TTime, TWatcher&, TClient&,
                                                        std::string& failure) {
  failure = path.Failure();
  return nullptr;
}
// Never made in this build.
TFastPathRelay::~TFastPathRelay() = default;
void TFastPathRelay::Renew(TLease&, TTime) {}
bool TFastPathRelay::Reroute(TLease&, TTime) { return false; }
void TFastPath::RoutesChanged() {}
TRelayCounts TFastPathRelay::CarriedNow() { return {}; }

// Never made in this build either: a tunnel paces in the kernel only with the fast path on.
TFastPathPacing::TFastPathPacing(TFastPath& path, int) : path_(path), port_(0) {}
void TFastPathPacing::TurnAwayFrom(TTime) {}
void TFastPathPacing::Stop() {}
uint64_t TFastPathPacing::TakeTurnedAway() { return 0; }

#endif

} // namespace gw
