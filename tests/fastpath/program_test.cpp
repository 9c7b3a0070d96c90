// The fast path's kernel program alone: prepared datagrams through the kernel's test run
// (BPF_PROG_TEST_RUN), each with the verdict and the datagram it must leave, against tables
// filled as the relay fills them. The program runs on a made-up socket buffer in the test's
// own network namespace (loopback and a veth link with a small MTU), where the route and MTU
// look-ups are real; a redirect is a verdict there, nothing is sent.
#include "fastPath.skel.h"
#include "fastPathMap.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <linux/pkt_cls.h>
#include <net/if.h>
#include <sched.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using TBytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

constexpr int kLoopback = 1;
constexpr int kPassOn = TC_ACT_UNSPEC;
constexpr uint8_t kTtl = 64;
// The link towards the game server, with an MTU below the datagrams the test sends through it.
constexpr const char* kLink = "gwt0";
constexpr size_t kUdpInFirstFragment = 24;

struct TEnd {
  const char* Address;
  uint16_t Port;
};

uint32_t Address(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address.s_addr;
}

struct TDatagram {
  TEnd From;
  TEnd To;
  size_t Payload = 32;
  uint8_t Ttl = 57;
  bool Options = false;
  uint16_t Id = 0x4242;
  // The UDP header's length, when not the datagram's own.
  size_t UdpLength = 0;
};

uint32_t Sum(const uint8_t* bytes, size_t length, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < length; i += 2) sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  if (length % 2) sum += static_cast<uint32_t>(bytes[length - 1] << 8);
  return sum;
}

uint16_t Checksum(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void Put16(uint8_t* at, size_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}

// The UDP datagram, its checksum computed whole (the program's is by difference).
TBytes Udp(const TDatagram& d) {
  TBytes udp(8 + d.Payload);
  Put16(&udp[0], d.From.Port);
  Put16(&udp[2], d.To.Port);
  Put16(&udp[4], d.UdpLength ? d.UdpLength : udp.size());
  for (size_t i = 0; i < d.Payload; ++i) udp[8 + i] = static_cast<uint8_t>('a' + i % 26);
  uint8_t pseudo[12] = {};
  const uint32_t from = Address(d.From.Address), to = Address(d.To.Address);
  std::memcpy(pseudo, &from, 4);
  std::memcpy(pseudo + 4, &to, 4);
  pseudo[9] = IPPROTO_UDP;
  Put16(pseudo + 10, udp.size());
  const uint16_t check = Checksum(Sum(udp.data(), udp.size(), Sum(pseudo, sizeof pseudo)));
  Put16(&udp[6], check ? check : 0xffff);
  return udp;
}

// An Ethernet frame holding `body` as d's IP packet, with `fragment` as its flags and offset.
TBytes Frame(const TDatagram& d, const TBytes& body, uint16_t fragment) {
  const size_t header = d.Options ? 24 : 20;
  TBytes frame(14 + header);
  frame[6] = 0x02;
  frame[11] = 0x01;
  frame[12] = 0x08;
  uint8_t* ip = &frame[14];
  ip[0] = static_cast<uint8_t>(0x40 | header / 4);
  Put16(ip + 2, header + body.size());
  Put16(ip + 4, d.Id);
  Put16(ip + 6, fragment);
  ip[8] = d.Ttl;
  ip[9] = IPPROTO_UDP;
  const uint32_t from = Address(d.From.Address), to = Address(d.To.Address);
  std::memcpy(ip + 12, &from, 4);
  std::memcpy(ip + 16, &to, 4);
  // Three no-operations and the list's end.
  if (d.Options) ip[20] = ip[21] = ip[22] = 1;
  Put16(ip + 10, Checksum(Sum(ip, header)));
  frame.insert(frame.end(), body.begin(), body.end());
  return frame;
}

TBytes Whole(const TDatagram& d) { return Frame(d, Udp(d), 0); }
TBytes FirstFragment(const TDatagram& d) {
  const TBytes udp = Udp(d);
  return Frame(d, TBytes(udp.begin(), udp.begin() + kUdpInFirstFragment), 0x2000);
}
TBytes LaterFragment(const TDatagram& d) {
  const TBytes udp = Udp(d);
  return Frame(d, TBytes(udp.begin() + kUdpInFirstFragment, udp.end()), kUdpInFirstFragment / 8);
}
// The datagram as the relay sends it on: new ends, this host's TTL.
TDatagram Relayed(TDatagram d, TEnd from, TEnd to) {
  d.From = from;
  d.To = to;
  d.Ttl = kTtl;
  return d;
}

uint64_t KernelNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

void WriteSetting(const std::string& path, const std::string& value) {
  std::ofstream file(path);
  file << value;
  ASSERT_TRUE(file.flush()) << path;
}

// Loopback and the link towards the server, in a network namespace of this process's own; why not, if not.
std::string MakeNetwork() {
  if (::unshare(CLONE_NEWNET) != 0) return std::string("cannot make a network namespace: ") + std::strerror(errno);
  const std::string link = kLink;
  for (const std::string& command :
       {std::string("ip link set lo up"), "ip link add " + link + " mtu 1400 type veth peer name " + link + "-peer",
        "ip link set " + link + "-peer up", "ip link set " + link + " up", "ip addr add 10.55.0.1/24 dev " + link})
    if (std::system(command.c_str()) != 0) return "cannot run `" + command + "`";
  return {};
}

struct TCase {
  const char* What;
  TBytes In;
  int Verdict;
  // The datagram the program leaves; empty: the one that came, untouched.
  TBytes Out = {};
  int Ingress = kLoopback;
  std::chrono::milliseconds After = 0ms;
};

class FastPathProgram : public testing::Test {
protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    static const std::string failure = MakeNetwork();
    if (!failure.empty()) GTEST_SKIP() << failure;
    skeleton_.reset(gw_fast_path_bpf__open());
    ASSERT_TRUE(skeleton_) << std::strerror(errno);
    skeleton_->rodata->kDefaultTtl = kTtl;
    const int loaded = gw_fast_path_bpf__load(skeleton_.get());
    if (loaded == -EPERM || loaded == -ENOSYS) GTEST_SKIP() << "no BPF here: " << std::strerror(-loaded);
    ASSERT_EQ(loaded, 0) << "the verifier's reasons are above";
    link_ = static_cast<int>(if_nametoindex(kLink));
  }

  // A relay's direction: datagrams from `from` to `local` leave from `newFrom` to `newTo`,
  // through `out` (0: delivered on this host), for `lease` from now.
  gw_flow_key Carry(TEnd from, TEnd local, TEnd newFrom, TEnd newTo, int out, std::chrono::nanoseconds lease) {
    const gw_flow_key key{Address(from.Address), htons(from.Port), htons(local.Port)};
    gw_flow flow{};
    flow.local_addr = Address(local.Address);
    flow.new_saddr = Address(newFrom.Address);
    flow.new_daddr = Address(newTo.Address);
    flow.new_sport = htons(newFrom.Port);
    flow.new_dport = htons(newTo.Port);
    flow.out_ifindex = static_cast<uint32_t>(out);
    flow.carry_until_ns = KernelNow() + static_cast<uint64_t>(lease.count());
    EXPECT_EQ(bpf_map__update_elem(skeleton_->maps.flows, &key, sizeof key, &flow, sizeof flow, BPF_ANY), 0);
    return key;
  }

  gw_flow Flow(const gw_flow_key& key) { return Read<gw_flow_key, gw_flow>(skeleton_->maps.flows, key); }
  void Write(const gw_flow_key& key, const gw_flow& flow) {
    EXPECT_EQ(bpf_map__update_elem(skeleton_->maps.flows, &key, sizeof key, &flow, sizeof flow, BPF_EXIST), 0);
  }

  void Pace(uint16_t port) {
    const uint16_t key = htons(port);
    const gw_paced_port paced{KernelNow() + 60'000'000'000u, 0};
    EXPECT_EQ(bpf_map__update_elem(skeleton_->maps.paced_ports, &key, sizeof key, &paced, sizeof paced, BPF_ANY), 0);
  }

  template <typename TKey, typename TValue> TValue Read(bpf_map* map, const TKey& key) {
    TValue value{};
    EXPECT_EQ(bpf_map__lookup_elem(map, &key, sizeof key, &value, sizeof value, 0), 0);
    return value;
  }

  void Expect(const std::vector<TCase>& cases) {
    for (const TCase& c : cases) {
      SCOPED_TRACE(c.What);
      std::this_thread::sleep_for(c.After);
      TBytes out(c.In.size() + 256);
      __sk_buff context{};
      context.ingress_ifindex = static_cast<uint32_t>(c.Ingress);
      bpf_test_run_opts run{};
      run.sz = sizeof run;
      run.data_in = c.In.data();
      run.data_size_in = static_cast<uint32_t>(c.In.size());
      run.data_out = out.data();
      run.data_size_out = static_cast<uint32_t>(out.size());
      run.ctx_in = &context;
      run.ctx_size_in = sizeof context;
      ASSERT_EQ(bpf_prog_test_run_opts(bpf_program__fd(skeleton_->progs.gw_fast_path), &run), 0)
          << std::strerror(errno);
      out.resize(run.data_size_out);
      EXPECT_EQ(static_cast<int>(run.retval), c.Verdict);
      EXPECT_EQ(out, c.Out.empty() ? c.In : c.Out);
    }
  }

  std::unique_ptr<gw_fast_path_bpf, decltype(&gw_fast_path_bpf__destroy)> skeleton_{nullptr,
                                                                                   &gw_fast_path_bpf__destroy};
  int link_ = 0;
};

// A relay on this host: the client and the game server on loopback addresses.
const TEnd kClient{"127.0.0.2", 5000}, kTunnel{"127.0.0.1", 7000};
const TEnd kUpstream{"127.0.0.1", 40000}, kServer{"127.0.0.3", 7777};

TEST_F(FastPathProgram, CarriesARelayBothWaysAndPassesOnWhatItDoesNotCarry) {
  const gw_flow_key client = Carry(kClient, kTunnel, kUpstream, kServer, 0, 60s);
  Carry(kServer, kUpstream, kTunnel, kClient, 0, 60s);
  const TEnd lapsed{"127.0.0.4", 5000};
  Carry(lapsed, kTunnel, {"127.0.0.1", 40001}, kServer, 0, -1s);
  const TDatagram toServer{kClient, kTunnel};
  const TDatagram toClient{kServer, kUpstream, 600};
  Expect({
      {"the client's datagram, rewritten to the server", Whole(toServer), TC_ACT_OK,
       Whole(Relayed(toServer, kUpstream, kServer))},
      {"the server's, rewritten to the client", Whole(toClient), TC_ACT_OK,
       Whole(Relayed(toClient, kTunnel, kClient))},
      {"a source no entry knows", Whole({{"127.0.0.9", 5000}, kTunnel}), kPassOn},
      {"the client writing to another address of this host", Whole({kClient, {"127.0.0.5", 7000}}), kPassOn},
      {"a datagram the sockets drop as too long", Whole({kClient, kTunnel, GW_FAST_PATH_MAX_PAYLOAD}), kPassOn},
      {"a local destination arriving from outside", Whole(toServer), kPassOn, {}, link_},
      {"a client whose lease has lapsed", Whole({lapsed, kTunnel}), kPassOn},
  });
  const gw_flow counted = Read<gw_flow_key, gw_flow>(skeleton_->maps.flows, client);
  EXPECT_EQ(counted.datagrams, 1u);
  EXPECT_EQ(counted.bytes, 32u);
}

// Both ways of finding the MTU: the route look-up where the host forwards, the link's MTU
// where it does not (the look-up answers "forwarding disabled" there).
TEST_F(FastPathProgram, SendsOutWhatFitsTheLinkAndLeavesTheRestToTheSockets) {
  const TEnd upstream{"10.55.0.1", 40000}, server{"10.55.0.2", 7777};
  Carry(kClient, kTunnel, upstream, server, link_, 60s);
  for (const char* forwarding : {"0", "1"}) {
    SCOPED_TRACE(std::string("forwarding ") + forwarding);
    WriteSetting("/proc/sys/net/ipv4/ip_forward", forwarding);
    const TDatagram fits{kClient, kTunnel, 1000};
    Expect({
        {"within the link's MTU", Whole(fits), TC_ACT_REDIRECT, Whole(Relayed(fits, upstream, server))},
        {"past it", Whole({kClient, kTunnel, 1400}), kPassOn},
    });
  }
  WriteSetting("/proc/sys/net/ipv4/ip_forward", "0");
}

TEST_F(FastPathProgram, TurnsAPacedPortsNewSourcesAwayWhateverTheirShape) {
  Pace(kTunnel.Port);
  Carry(kClient, kTunnel, kUpstream, kServer, 0, 60s);
  const TEnd source{"127.0.0.9", 6000}, optioned{"127.0.0.10", 6000}, fragmented{"127.0.0.11", 6000};
  const TEnd notPaced{"127.0.0.1", 7100};
  const TDatagram carried{kClient, kTunnel};
  TDatagram carriedWithOptions = carried;
  carriedWithOptions.Options = true;
  const TDatagram withOptions{optioned, kTunnel, 32, 57, true};
  const TDatagram inFragments{fragmented, kTunnel, 40};
  TDatagram unseenFirst = inFragments;
  unseenFirst.Id = 0x4343;
  // Another datagram of the same source to the same address has another identification (one
  // with the same would be reassembled with the first).
  TDatagram notPacedInFragments{fragmented, notPaced, 40};
  notPacedInFragments.Id = 0x4444;
  const TDatagram carriedInFragments{kClient, kTunnel, 40};
  Expect({
      {"the carried client, carried still", Whole(carried), TC_ACT_OK, Whole(Relayed(carried, kUpstream, kServer))},
      {"a new source", Whole({source, kTunnel}), TC_ACT_SHOT},
      {"the same at once", Whole({source, kTunnel}), TC_ACT_SHOT},
      {"the same coming back 10 ms on, up to the sockets", Whole({source, kTunnel}), kPassOn, {}, kLoopback, 11ms},
      {"a new source to a port not paced", Whole({source, notPaced}), kPassOn},
      {"a new source with IP options", Whole(withOptions), TC_ACT_SHOT},
      {"IP options to a port not paced", Whole({optioned, notPaced, 32, 57, true}), kPassOn},
      {"the carried client with IP options, up to the sockets", Whole(carriedWithOptions), kPassOn},
      {"a new source's first fragment", FirstFragment(inFragments), TC_ACT_SHOT},
      {"the rest of its datagram", LaterFragment(inFragments), TC_ACT_SHOT},
      {"a later fragment whose first was not seen", LaterFragment(unseenFirst), kPassOn},
      {"a first fragment to a port not paced", FirstFragment(notPacedInFragments), kPassOn},
      {"the rest of that one", LaterFragment(notPacedInFragments), kPassOn},
      {"the carried client's first fragment, up to the sockets", FirstFragment(carriedInFragments), kPassOn},
      {"the rest of it", LaterFragment(carriedInFragments), kPassOn},
      {"a fragmented source sending again 10 ms on: it never comes back", FirstFragment(inFragments), TC_ACT_SHOT,
       {}, kLoopback, 11ms},
  });
  // Every datagram turned away counts as the pace's refusal, once, whatever its shape.
  const uint16_t port = htons(kTunnel.Port);
  EXPECT_EQ((Read<uint16_t, gw_paced_port>(skeleton_->maps.paced_ports, port).turned_away), 5u);
}

// Two newcomers whose first places in the table of sources turned away meet both come back.
TEST_F(FastPathProgram, NewcomersWhosePlacesMeetBothComeBack) {
  Pace(kTunnel.Port);
  const auto key = [](uint32_t address, uint16_t port) {
    return uint64_t{address} << 32 | uint64_t{htons(port)} << 16 | htons(kTunnel.Port);
  };
  const TEnd one{"127.0.0.9", 6000};
  const uint64_t place = gw_turned_away_slot(key(Address(one.Address), one.Port), 0);
  // Ports of one address make too few keys to be sure of a meeting: addresses 127.0.1.x too.
  uint32_t n = 0;
  while (gw_turned_away_slot(key(htonl(0x7F000100 | n >> 16), static_cast<uint16_t>(n)), 0) != place) ++n;
  const std::string otherAddress = "127.0.1." + std::to_string(n >> 16);
  const TEnd other{otherAddress.c_str(), static_cast<uint16_t>(n)};
  Expect({
      {"one", Whole({one, kTunnel}), TC_ACT_SHOT},
      {"the other", Whole({other, kTunnel}), TC_ACT_SHOT},
      {"one coming back", Whole({one, kTunnel}), kPassOn, {}, kLoopback, 11ms},
      {"the other coming back", Whole({other, kTunnel}), kPassOn},
  });
}

// What the kernel must not carry as it stands: a UDP length that is not the IP payload's (the
// stack drops a longer one and cuts the padding after a shorter one), a flow whose routes
// have changed since it was written, and a flow past a player's datagrams in its second.
TEST_F(FastPathProgram, CarriesOnlyWhatTheSocketsWouldRelayAsItIs) {
  const gw_flow_key client = Carry(kClient, kTunnel, kUpstream, kServer, 0, 60s);
  TDatagram longer{kClient, kTunnel, 4};
  longer.UdpLength = 8 + 2900;
  TDatagram shorter{kClient, kTunnel, 40};
  shorter.UdpLength = 8 + 4;
  const TDatagram plain{kClient, kTunnel};
  Expect({
      {"a UDP length past the IP payload, dropped", Whole(longer), TC_ACT_SHOT},
      {"a UDP length short of it, up to the sockets", Whole(shorter), kPassOn},
  });
  EXPECT_EQ(Flow(client).datagrams, 0u);
  EXPECT_EQ(Flow(client).bytes, 0u);

  skeleton_->bss->route_generation = 1;
  Expect({{"a flow written before the routes changed, up to the sockets", Whole(plain), kPassOn}});
  gw_flow flow = Flow(client);
  flow.route_generation = 1;
  Write(client, flow);
  Expect({{"the same, written again since", Whole(plain), TC_ACT_OK, Whole(Relayed(plain, kUpstream, kServer))}});

  // Past a player's most in a second, this host's own programs on loopback are carried still.
  flow = Flow(client);
  flow.datagrams_at_second = flow.datagrams - GW_FLOW_DATAGRAMS_PER_SECOND;
  Write(client, flow);
  Expect({{"from loopback, past a player's most", Whole(plain), TC_ACT_OK, Whole(Relayed(plain, kUpstream, kServer))}});

  // From a network: a player's most in this second; the rest of the second goes up to the
  // sockets.
  const TEnd upstream{"10.55.0.1", 40000}, server{"10.55.0.2", 7777};
  const gw_flow_key remote = Carry(kClient, kTunnel, upstream, server, link_, 60s);
  const TDatagram fits{kClient, kTunnel, 100};
  flow = Flow(remote);
  flow.route_generation = 1;
  flow.second_ns = flow.carry_until_ns - 60'000'000'000ull;
  flow.datagrams_at_second = flow.datagrams - GW_FLOW_DATAGRAMS_PER_SECOND + 1;
  Write(remote, flow);
  Expect({{"the last a second carries", Whole(fits), TC_ACT_REDIRECT, Whole(Relayed(fits, upstream, server)), link_},
          {"one more within the second", Whole(fits), kPassOn, {}, link_}});
  flow = Flow(remote);
  flow.second_ns -= GW_FLOW_SECOND_NS;
  Write(remote, flow);
  Expect({{"the next second's first", Whole(fits), TC_ACT_REDIRECT, Whole(Relayed(fits, upstream, server)), link_}});
}

} // namespace

