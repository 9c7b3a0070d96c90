// The kernel half of the fast path: a tc ingress classifier that relays the game datagrams
// of clients whose relay user space has already made. Each relay has two entries in one
// table: the client's datagrams to the tunnel port, and the server's replies to the relay's
// upstream port. A datagram that matches is rewritten exactly as the relay's sockets would
// send it and handed on. While user space's pace turns a tunnel's new sources away, so does
// the program, at once, whatever the datagram's shape (IP options, fragments). Anything else
// goes on untouched (to the next classifier, then up the stack to the host's rules and the
// sockets, which decide).
#include <linux/bpf.h>
#include <linux/if_ether.h>
#include <linux/in.h>
#include <linux/ip.h>
#include <linux/pkt_cls.h>
#include <linux/udp.h>

#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "fastPathMap.h"

// The TTL of datagrams this host sends (net.ipv4.ip_default_ttl), set by the loader.
const volatile __u8 kDefaultTtl = GW_DEFAULT_TTL;
// When a source turned away comes back, and how long one is remembered: user space's
// pace, set by the loader.
const volatile __u64 kComesBackAfterNs = GW_COMES_BACK_AFTER_NS;
const volatile __u64 kTurnedAwayRememberedNs = GW_TURNED_AWAY_REMEMBERED_NS;
// The routes and links as user space last saw them: it moves this on at every change it is
// told of, and a flow recorded under another generation goes up to the sockets, which follow
// the route as it is, until user space has looked the flow's route up again. One read a
// datagram, of memory every processor keeps.
__u32 route_generation = 0;

struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, GW_FAST_PATH_ENTRIES);
  __type(key, struct gw_flow_key);
  __type(value, struct gw_flow);
} flows SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, GW_PACED_PORTS);
  __type(key, __u16);
  __type(value, struct gw_paced_port);
} paced_ports SEC(".maps");

// Each place holds the latest source hashed to it; races between processors on one place
// cost at most one datagram turned away or let through.
struct {
  __uint(type, BPF_MAP_TYPE_ARRAY);
  __uint(max_entries, 1 << GW_TURNED_AWAY_BITS);
  __type(key, __u32);
  __type(value, struct gw_turned_away);
} turned_away SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_ARRAY);
  __uint(max_entries, 1 << GW_FRAGMENTS_TURNED_AWAY_BITS);
  __type(key, __u32);
  __type(value, struct gw_fragments_turned_away);
} fragments_turned_away SEC(".maps");

#define AF_INET 2
#define LOOPBACK_IFINDEX 1
// Not ours: the next program on the hook, or the stack, has it (TCX_NEXT, and for a
// classic filter, the next filter).
#define PASS_ON TC_ACT_UNSPEC
#define IP_FRAGMENT_BITS 0x3fff
#define IP_MORE_FRAGMENTS 0x2000
#define IP_FRAGMENT_OFFSET 0x1fff
#define L3_OFFSET ETH_HLEN
// Where the UDP header is in a datagram without IP options, the only ones carried.
#define L4_OFFSET (ETH_HLEN + sizeof(struct iphdr))
#define IP_CHECK (L3_OFFSET + offsetof(struct iphdr, check))
#define UDP_CHECK (L4_OFFSET + offsetof(struct udphdr, check))

// The addresses, then the ports, as they stand next to each other in the headers.
struct addresses {
  __u32 saddr;
  __u32 daddr;
};

static __always_inline __u32 hash_slot(__u64 key, int bits) {
  // Fibonacci hashing, as user space's table: the high bits of the product mix every bit.
  return (__u32)((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
}

static __always_inline struct gw_fragments_turned_away* fragments_place(const struct iphdr* ip) {
  const __u64 addresses = (__u64)ip->saddr << 32 | ip->daddr;
  const __u32 slot = hash_slot(addresses + ip->id, GW_FRAGMENTS_TURNED_AWAY_BITS);
  return bpf_map_lookup_elem(&fragments_turned_away, &slot);
}

// A fragment after the first carries no ports, so it cannot be judged by its own: it goes
// where its first fragment went. Turned away with it, it is dropped; otherwise it goes up to
// be reassembled, which no datagram is without its first fragment.
static __always_inline int later_fragment(const struct iphdr* ip) {
  const struct gw_fragments_turned_away* place = fragments_place(ip);
  if (!place || place->saddr != ip->saddr || place->daddr != ip->daddr || place->id != ip->id ||
      bpf_ktime_get_ns() - place->at_ns > GW_FRAGMENTS_FOLLOW_WITHIN_NS)
    return PASS_ON;
  return TC_ACT_SHOT;
}

// A datagram from a source no entry knows, to a port whose new sources user space's pace
// turns away: turned away here as well, before it costs the socket, the relay's loop and
// the processors the players' datagrams need. A source that comes back goes up to the
// sockets, where the pace lets it go first: a real client sends again until answered, where
// a forged source is new at every datagram.
static __always_inline int turn_away(struct __sk_buff* skb, const struct iphdr* ip, const struct udphdr* udp,
                                     int first_fragment) {
  const __u16 port = udp->dest;
  struct gw_paced_port* paced = bpf_map_lookup_elem(&paced_ports, &port);
  if (!paced) return PASS_ON;
  const __u64 now = bpf_ktime_get_ns();
  if (now >= paced->until_ns) return PASS_ON;
  // Only what this host would deliver to the tunnel's socket (a local route; a host that
  // does not forward keeps nothing else): a datagram routed on to another host is not ours.
  struct bpf_fib_lookup route = {.family = AF_INET,
                                 .l4_protocol = IPPROTO_UDP,
                                 .tot_len = bpf_ntohs(ip->tot_len),
                                 .ifindex = skb->ingress_ifindex,
                                 .ipv4_src = ip->saddr,
                                 .ipv4_dst = ip->daddr};
  const long found = bpf_fib_lookup(skb, &route, sizeof route, 0);
  if (found != BPF_FIB_LKUP_RET_NOT_FWDED && found != BPF_FIB_LKUP_RET_FWD_DISABLED) return PASS_ON;

  // A game client does not fragment its first datagrams, and a fragmented one would not
  // come back whole as a newcomer's: the first fragment is turned away at every try, and the
  // rest of its datagram after it.
  if (first_fragment) {
    struct gw_fragments_turned_away* fragments = fragments_place(ip);
    if (!fragments) return PASS_ON;
    fragments->saddr = ip->saddr;
    fragments->daddr = ip->daddr;
    fragments->id = ip->id;
    fragments->at_ns = now;
    __sync_fetch_and_add(&paced->turned_away, 1);
    return TC_ACT_SHOT;
  }

  const __u64 source = (__u64)ip->saddr << 32 | (__u64)udp->source << 16 | udp->dest;
  const __u32 first_slot = gw_turned_away_slot(source, 0), second_slot = gw_turned_away_slot(source, 1);
  struct gw_turned_away* first = bpf_map_lookup_elem(&turned_away, &first_slot);
  struct gw_turned_away* second = bpf_map_lookup_elem(&turned_away, &second_slot);
  if (!first || !second) return PASS_ON;
  struct gw_turned_away* place = gw_turned_away_place(first, second, source);
  if (place->source != source || now - place->at_ns > kTurnedAwayRememberedNs) {
    place->source = source;
    place->at_ns = now;
  } else if (now - place->at_ns >= kComesBackAfterNs) {
    return PASS_ON;
  }
  __sync_fetch_and_add(&paced->turned_away, 1);
  return TC_ACT_SHOT;
}

// What the carried path does not take: IP options, fragments, and headers a driver left out
// of the data the program reads directly. Such a datagram to a paced port is judged all the
// same, from copies of its headers; a carried flow's goes up to the sockets, which relay it
// as it comes out of reassembly and without the options, and renew the flow's lease.
static __always_inline int judge_copied(struct __sk_buff* skb) {
  __be16 protocol;
  struct iphdr ip;
  struct udphdr udp;
  if (bpf_skb_load_bytes(skb, offsetof(struct ethhdr, h_proto), &protocol, sizeof protocol) ||
      bpf_skb_load_bytes(skb, L3_OFFSET, &ip, sizeof ip))
    return PASS_ON;
  if (protocol != bpf_htons(ETH_P_IP) || ip.protocol != IPPROTO_UDP || ip.ihl < 5) return PASS_ON;
  if (ip.frag_off & bpf_htons(IP_FRAGMENT_OFFSET)) return later_fragment(&ip);
  if (bpf_skb_load_bytes(skb, L3_OFFSET + ip.ihl * 4, &udp, sizeof udp)) return PASS_ON;
  struct gw_flow_key key = {.addr = ip.saddr, .port = udp.source, .local_port = udp.dest};
  if (bpf_map_lookup_elem(&flows, &key)) return PASS_ON;
  return turn_away(skb, &ip, &udp, (ip.frag_off & bpf_htons(IP_MORE_FRAGMENTS)) != 0);
}

SEC("tc")
int gw_fast_path(struct __sk_buff* skb) {
  void* data = (void*)(long)skb->data;
  void* end = (void*)(long)skb->data_end;
  struct ethhdr* eth = data;
  struct iphdr* ip = data + L3_OFFSET;
  struct udphdr* udp = data + L4_OFFSET;
  if ((void*)(udp + 1) > end) return judge_copied(skb);
  if (eth->h_proto != bpf_htons(ETH_P_IP) || ip->protocol != IPPROTO_UDP) return PASS_ON;
  if (ip->ihl != 5 || (ip->frag_off & bpf_htons(IP_FRAGMENT_BITS))) return judge_copied(skb);

  struct gw_flow_key key = {.addr = ip->saddr, .port = udp->source, .local_port = udp->dest};
  struct gw_flow* flow = bpf_map_lookup_elem(&flows, &key);
  if (!flow) return turn_away(skb, ip, udp, 0);
  // The relay's socket takes only what is sent to its own address; a datagram for another
  // host this one routes for is not the relay's.
  if (ip->daddr != flow->local_addr) return PASS_ON;
  // The lease: once the sockets have not seen the flow for a while, its next datagram goes
  // up through the host's rules, and only its arrival at a socket renews the entry. A route
  // or link changed since the entry was written: the sockets follow the route as it is now.
  const __u64 now = bpf_ktime_get_ns();
  if (now >= flow->carry_until_ns || flow->route_generation != route_generation) return PASS_ON;
  // The UDP length must be the IP payload's. Longer (or an IP length past the frame): the
  // stack drops it as a short datagram, and so does this path, which would otherwise send
  // the bytes missing and count those it never had. Shorter: the rest is padding, legal,
  // which the stack cuts off before the socket; the sockets send what is left.
  const __u32 ip_payload = bpf_ntohs(ip->tot_len) - sizeof(struct iphdr);
  const __u32 udp_length = bpf_ntohs(udp->len);
  if (udp_length > ip_payload || ETH_HLEN + bpf_ntohs(ip->tot_len) > skb->len) return TC_ACT_SHOT;
  if (udp_length != ip_payload || udp_length < sizeof(struct udphdr)) return PASS_ON;
  // The sockets refuse what does not leave a byte of their buffer free; so does this path,
  // by leaving such datagrams to them.
  const __u32 payload = udp_length - sizeof(struct udphdr);
  if (payload >= GW_FAST_PATH_MAX_PAYLOAD) return PASS_ON;
  // No more than a player's datagrams a second: past them, the rest of the second goes up to
  // the sockets, where the relay counts them live. Two processors starting a second together
  // cost a datagram or two of the count. What arrives on loopback comes from this host's own
  // programs (a benchmark, a local tool), which no forger reaches: it is carried as it comes.
  if (now - flow->second_ns >= GW_FLOW_SECOND_NS) {
    flow->second_ns = now;
    flow->datagrams_at_second = flow->datagrams;
  } else if (flow->datagrams - flow->datagrams_at_second >= GW_FLOW_DATAGRAMS_PER_SECOND &&
             skb->ingress_ifindex != LOOPBACK_IFINDEX) {
    return PASS_ON;
  }
  // A destination on this host is reached through loopback only, where the datagram keeps
  // the local route it was sent with; arriving from outside it would be a martian.
  if (flow->out_ifindex == 0 && skb->ingress_ifindex != LOOPBACK_IFINDEX) return PASS_ON;
  // Towards another host: the route as it is now, with its MTU (the link's, a locked route
  // MTU, or one learnt from the path). What would not fit goes up to the sockets, which
  // fragment it; so does anything the route no longer sends out of the same interface.
  struct bpf_redir_neigh next_hop = {.nh_family = AF_INET};
  // A flag, not a null pointer: without CAP_PERFMON the verifier refuses to compare pointers.
  int kernel_finds_hop = 0;
  if (flow->out_ifindex != 0) {
    struct bpf_fib_lookup route = {.family = AF_INET,
                                   .l4_protocol = IPPROTO_UDP,
                                   .tot_len = bpf_ntohs(ip->tot_len),
                                   .ifindex = flow->out_ifindex,
                                   .ipv4_src = flow->new_saddr,
                                   .ipv4_dst = flow->new_daddr};
    const long found = bpf_fib_lookup(skb, &route, sizeof route, BPF_FIB_LOOKUP_OUTPUT);
    if (found == BPF_FIB_LKUP_RET_FWD_DISABLED) {
      // The look-up answers only where the interface forwards, which a server usually does
      // not. There the link's MTU is what is checked, and the kernel finds the next hop as
      // the datagram leaves, as for a datagram a socket sends.
      __u32 length = bpf_ntohs(ip->tot_len);
      if (bpf_check_mtu(skb, flow->out_ifindex, &length, 0, 0) != BPF_MTU_CHK_RET_SUCCESS) return PASS_ON;
      kernel_finds_hop = 1;
    } else if ((found != BPF_FIB_LKUP_RET_SUCCESS && found != BPF_FIB_LKUP_RET_NO_NEIGH) ||
               route.ifindex != flow->out_ifindex) {
      return PASS_ON;
    } else {
      next_hop.ipv4_nh = route.ipv4_dst;
    }
  }

  struct addresses from = {ip->saddr, ip->daddr};
  struct addresses to = {flow->new_saddr, flow->new_daddr};
  const __u32 old_ports = *(__u32*)&udp->source;
  const __u32 new_ports = *(__u32*)&flow->new_sport;
  const __u16 old_ttl = *(__u16*)&ip->ttl;
  __u16 new_ttl = old_ttl;
  ((__u8*)&new_ttl)[0] = kDefaultTtl;

  // Checksums first, by difference: the addresses count in both (in UDP's through the
  // pseudo-header), the ports in UDP's, the TTL in the IP header's.
  const __s64 address_diff = bpf_csum_diff((__be32*)&from, sizeof from, (__be32*)&to, sizeof to, 0);
  if (address_diff < 0 ||
      bpf_l4_csum_replace(skb, UDP_CHECK, 0, (__u32)address_diff, BPF_F_PSEUDO_HDR | BPF_F_MARK_MANGLED_0) ||
      bpf_l4_csum_replace(skb, UDP_CHECK, old_ports, new_ports, BPF_F_MARK_MANGLED_0 | sizeof(new_ports)) ||
      bpf_l3_csum_replace(skb, IP_CHECK, 0, (__u32)address_diff, 0) ||
      bpf_l3_csum_replace(skb, IP_CHECK, old_ttl, new_ttl, sizeof(new_ttl)))
    return TC_ACT_SHOT;
  // The helpers may have moved the data: find the headers again.
  data = (void*)(long)skb->data;
  end = (void*)(long)skb->data_end;
  ip = data + L3_OFFSET;
  udp = data + L4_OFFSET;
  if ((void*)(udp + 1) > end) return TC_ACT_SHOT;
  ip->saddr = to.saddr;
  ip->daddr = to.daddr;
  ip->ttl = kDefaultTtl;
  *(__u32*)&udp->source = new_ports;

  flow->last_seen_ns = now;
  __sync_fetch_and_add(&flow->datagrams, 1);
  __sync_fetch_and_add(&flow->bytes, payload);

  if (flow->out_ifindex == 0) return TC_ACT_OK;
  // The neighbour table gives the next hop's link address.
  if (kernel_finds_hop) return bpf_redirect_neigh(flow->out_ifindex, 0, 0, 0);
  return bpf_redirect_neigh(flow->out_ifindex, &next_hop, sizeof next_hop, 0);
}

char LICENSE[] SEC("license") = "GPL";
