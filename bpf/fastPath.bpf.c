// The kernel half of the fast path: a tc (clsact) ingress classifier that relays the game
// datagrams of clients whose relay user space has already made. Each relay has two entries
// in one table: the client's datagrams to the tunnel port, and the server's replies to the
// relay's upstream port. A datagram that matches is rewritten exactly as the relay's
// sockets would send it and handed on; anything else goes up the stack untouched, to the
// sockets, which decide.
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
const volatile __u8 kDefaultTtl = 64;

struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, GW_FAST_PATH_ENTRIES);
  __type(key, struct gw_flow_key);
  __type(value, struct gw_flow);
} flows SEC(".maps");

#define LOOPBACK_IFINDEX 1
#define IP_FRAGMENT_BITS 0x3fff
#define L3_OFFSET ETH_HLEN
#define L4_OFFSET (ETH_HLEN + sizeof(struct iphdr))
#define IP_CHECK (L3_OFFSET + offsetof(struct iphdr, check))
#define UDP_CHECK (L4_OFFSET + offsetof(struct udphdr, check))

static __always_inline int replace4(struct __sk_buff* skb, __u32 offset, __u32 from, __u32 to) {
  if (bpf_l4_csum_replace(skb, UDP_CHECK, from, to, BPF_F_PSEUDO_HDR | BPF_F_MARK_MANGLED_0 | sizeof(to)))
    return -1;
  if (bpf_l3_csum_replace(skb, IP_CHECK, from, to, sizeof(to))) return -1;
  return bpf_skb_store_bytes(skb, offset, &to, sizeof(to), 0);
}

static __always_inline int replace2(struct __sk_buff* skb, __u32 offset, __u16 from, __u16 to) {
  if (bpf_l4_csum_replace(skb, UDP_CHECK, from, to, BPF_F_MARK_MANGLED_0 | sizeof(to))) return -1;
  return bpf_skb_store_bytes(skb, offset, &to, sizeof(to), 0);
}

SEC("tc")
int gw_fast_path(struct __sk_buff* skb) {
  void* data = (void*)(long)skb->data;
  void* end = (void*)(long)skb->data_end;
  struct ethhdr* eth = data;
  struct iphdr* ip = data + L3_OFFSET;
  struct udphdr* udp = data + L4_OFFSET;
  if ((void*)(udp + 1) > end) return TC_ACT_OK;
  if (eth->h_proto != bpf_htons(ETH_P_IP) || ip->ihl != 5 || ip->protocol != IPPROTO_UDP ||
      (ip->frag_off & bpf_htons(IP_FRAGMENT_BITS)))
    return TC_ACT_OK;

  struct gw_flow_key key = {.addr = ip->saddr, .port = udp->source, .local_port = udp->dest};
  struct gw_flow* flow = bpf_map_lookup_elem(&flows, &key);
  if (!flow) return TC_ACT_OK;
  // The sockets refuse what does not leave a byte of their buffer free; so does this path,
  // by leaving such datagrams to them.
  const __u32 payload = bpf_ntohs(udp->len) - sizeof(struct udphdr);
  if (payload >= GW_FAST_PATH_MAX_PAYLOAD) return TC_ACT_OK;
  // A destination on this host is reached through loopback only, where the datagram keeps
  // the local route it was sent with; arriving from outside it would be a martian.
  if (flow->out_ifindex == 0 && skb->ingress_ifindex != LOOPBACK_IFINDEX) return TC_ACT_OK;

  const __u32 saddr = ip->saddr, daddr = ip->daddr;
  const __u16 sport = udp->source, dport = udp->dest;
  const __u16 ttl_word = *(__u16*)&ip->ttl;
  __u16 new_ttl_word = ttl_word;
  ((__u8*)&new_ttl_word)[0] = kDefaultTtl;

  if (replace4(skb, L3_OFFSET + offsetof(struct iphdr, saddr), saddr, flow->new_saddr) ||
      replace4(skb, L3_OFFSET + offsetof(struct iphdr, daddr), daddr, flow->new_daddr) ||
      replace2(skb, L4_OFFSET + offsetof(struct udphdr, source), sport, flow->new_sport) ||
      replace2(skb, L4_OFFSET + offsetof(struct udphdr, dest), dport, flow->new_dport) ||
      bpf_l3_csum_replace(skb, IP_CHECK, ttl_word, new_ttl_word, sizeof(new_ttl_word)) ||
      bpf_skb_store_bytes(skb, L3_OFFSET + offsetof(struct iphdr, ttl), &new_ttl_word, sizeof(new_ttl_word), 0))
    return TC_ACT_SHOT;

  flow->last_seen_ns = bpf_ktime_get_ns();
  __sync_fetch_and_add(&flow->datagrams, 1);
  __sync_fetch_and_add(&flow->bytes, payload);

  if (flow->out_ifindex == 0) return TC_ACT_OK;
  return bpf_redirect_neigh(flow->out_ifindex, NULL, 0, 0);
}

char LICENSE[] SEC("license") = "GPL";
