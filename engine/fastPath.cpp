#include "fastPath.h"

#include <cerrno>
#include <cstring>

#ifdef GW_HAVE_FAST_PATH
#include "fastPath.skel.h"
#include "fastPathMap.h"

#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <net/if.h>

#include <fstream>
#endif

namespace gw {

#ifdef GW_HAVE_FAST_PATH

namespace {

// Our classifier's place on every ingress hook: a fixed handle and priority, so that one
// left behind by a program that was killed is replaced rather than doubled.
constexpr uint32_t kTcHandle = 0x4757;
constexpr uint32_t kTcPriority = 0x4757;
// /sys/class/net/*/type: the program reads an Ethernet header, which these two carry.
constexpr int kArpHardwareEthernet = 1;
constexpr int kArpHardwareLoopback = 772;

std::string ErrorText(int error) { return std::strerror(error < 0 ? -error : error); }

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
  std::vector<THook> Hooks;
  int Table = -1;

  std::string Attach(int interface, const char* name) {
    const int type = ReadNumber(std::string("/sys/class/net/") + name + "/type", 0);
    if (type != kArpHardwareEthernet && type != kArpHardwareLoopback) return "not an Ethernet interface";
    THook hook{};
    hook.Hook.sz = sizeof hook.Hook;
    hook.Hook.ifindex = interface;
    hook.Hook.attach_point = BPF_TC_INGRESS;
    const int created = bpf_tc_hook_create(&hook.Hook);
    if (created != 0 && created != -EEXIST) return ErrorText(created);
    hook.Created = created == 0;
    bpf_tc_opts options{};
    options.sz = sizeof options;
    options.prog_fd = bpf_program__fd(Skeleton->progs.gw_fast_path);
    options.handle = kTcHandle;
    options.priority = kTcPriority;
    options.flags = BPF_TC_F_REPLACE;
    if (const int attached = bpf_tc_attach(&hook.Hook, &options); attached != 0) {
      if (hook.Created) Destroy(hook);
      return ErrorText(attached);
    }
    Hooks.push_back(hook);
    return {};
  }

  static void Destroy(THook& hook) {
    hook.Hook.attach_point = static_cast<bpf_tc_attach_point>(BPF_TC_INGRESS | BPF_TC_EGRESS);
    bpf_tc_hook_destroy(&hook.Hook);
  }

  ~TKernel() {
    for (THook& hook : Hooks) {
      bpf_tc_opts options{};
      options.sz = sizeof options;
      options.handle = kTcHandle;
      options.priority = kTcPriority;
      // An interface that has gone took its hook with it; there is nothing left to undo.
      bpf_tc_detach(&hook.Hook, &options);
      if (hook.Created) Destroy(hook);
    }
  }
};

TFastPath::TFastPath() : kernel_(std::make_unique<TKernel>()) {
  // Failures are reported through the texts below; libbpf's own lines would only repeat them.
  libbpf_set_print(nullptr);
  kernel_->Skeleton.reset(gw_fast_path_bpf__open());
  if (!kernel_->Skeleton) {
    failure_ = "cannot open the BPF program: " + ErrorText(errno);
    return;
  }
  kernel_->Skeleton->rodata->kDefaultTtl =
      static_cast<uint8_t>(ReadNumber("/proc/sys/net/ipv4/ip_default_ttl", 64));
  if (const int loaded = gw_fast_path_bpf__load(kernel_->Skeleton.get()); loaded != 0) {
    failure_ = loaded == -EPERM || loaded == -EACCES
                   ? "no privileges for BPF (it needs CAP_BPF and CAP_NET_ADMIN)"
                   : "cannot load the BPF program: " + ErrorText(loaded);
    kernel_.reset();
    return;
  }
  kernel_->Table = bpf_map__fd(kernel_->Skeleton->maps.flows);

  struct if_nameindex* interfaces = if_nameindex();
  if (!interfaces) {
    failure_ = "cannot list the interfaces: " + ErrorText(errno);
    kernel_.reset();
    return;
  }
  const std::unique_ptr<struct if_nameindex, decltype(&if_freenameindex)> owner(interfaces, &if_freenameindex);
  for (const struct if_nameindex* entry = interfaces; entry->if_index != 0; ++entry) {
    std::string reason = kernel_->Attach(static_cast<int>(entry->if_index), entry->if_name);
    if (!reason.empty())
      attachFailures_.push_back({static_cast<int>(entry->if_index), "cannot attach to " + std::string(entry->if_name) +
                                                                         ": " + reason});
  }
}

TFastPath::~TFastPath() = default;

std::string TFastPath::CannotCarryThrough(int interface) const {
  if (!Loaded()) return failure_;
  for (const TAttachFailure& failed : attachFailures_)
    if (failed.Interface == interface) return failed.Reason;
  for (const TKernel::THook& hook : kernel_->Hooks)
    if (hook.Hook.ifindex == interface) return {};
  char name[IF_NAMESIZE] = {};
  return "interface " + std::string(if_indextoname(static_cast<unsigned>(interface), name) ? name : "?") +
         " came after the fast path was loaded";
}

namespace {

gw_flow Outgoing(uint32_t source, const TPeerAddress& from, const TPeerAddress& to, const TRoute& route) {
  gw_flow flow{};
  flow.new_saddr = source;
  flow.new_sport = htons(from.Port);
  flow.new_daddr = to.Address;
  flow.new_dport = htons(to.Port);
  flow.out_ifindex = route.Local ? 0u : static_cast<uint32_t>(route.Interface);
  return flow;
}

} // namespace

std::unique_ptr<TFastPathRelay> TFastPathRelay::Install(TFastPath& path, const TEnds& ends, std::string& failure) {
  if (!path.Loaded()) {
    failure = path.Failure();
    return nullptr;
  }
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
  // The relay's sockets are bound to any address, so they send from the address the route
  // gives: so does this path.
  const gw_flow toServerFlow = Outgoing(toServer->Source, {0, upstreamPort}, ends.Server, *toServer);
  const gw_flow toClientFlow = Outgoing(toClient->Source, {0, tunnelPort}, ends.Client, *toClient);

  const int table = path.kernel_->Table;
  if (bpf_map_update_elem(table, &fromServer, &toClientFlow, BPF_ANY) != 0) {
    failure = "the fast path's table refused a relay: " + ErrorText(errno);
    return nullptr;
  }
  // Made now, the relay takes the first entry away again if the second fails.
  std::unique_ptr<TFastPathRelay> relay(new TFastPathRelay(path, fromClient, fromServer));
  if (bpf_map_update_elem(table, &fromClient, &toServerFlow, BPF_ANY) != 0) {
    failure = "the fast path's table refused a relay: " + ErrorText(errno);
    return nullptr;
  }
  return relay;
}

TFastPathRelay::~TFastPathRelay() {
  // Both keys were installed by this relay; a missing one leaves nothing to remove.
  bpf_map_delete_elem(path_.kernel_->Table, &fromClient_);
  bpf_map_delete_elem(path_.kernel_->Table, &fromServer_);
}

TTime TFastPathRelay::ClientLastSeen() const {
  gw_flow flow{};
  if (bpf_map_lookup_elem(path_.kernel_->Table, &fromClient_, &flow) != 0) return TTime{};
  return TTime{std::chrono::nanoseconds{flow.last_seen_ns}};
}

#else

struct TFastPath::TKernel {};

TFastPath::TFastPath() : failure_("this build has no BPF support") {}
TFastPath::~TFastPath() = default;
std::string TFastPath::CannotCarryThrough(int) const { return failure_; }

std::unique_ptr<TFastPathRelay> TFastPathRelay::Install(TFastPath& path, const TEnds&, std::string& failure) {
  failure = path.Failure();
  return nullptr;
}
// Never made in this build.
TFastPathRelay::~TFastPathRelay() = default;
TTime TFastPathRelay::ClientLastSeen() const { return TTime{}; }

#endif

} // namespace gw
