#pragma once
// The tables shared by the kernel program and the loader, and the program's limits, each
// with its reason. Addresses and ports are in network byte order, as they stand in the
// headers.
#include <linux/types.h>

// Entries of the table of flows; a carried relay holds two, one each way. Every relay also
// holds an ephemeral port of its own, and Linux's default range of them (32768-60999) has
// 28,232, so the table carries every relay those allow. A relay the table refuses stays on
// the sockets. The table's memory is taken whole when the program loads, carrying or not.
#define GW_FAST_PATH_ENTRIES 65536
// Datagrams of this many payload bytes or more are left to the sockets, which drop them.
#define GW_FAST_PATH_MAX_PAYLOAD 3000
// A flow carries at most this many datagrams a second (TAdmissionLimits::
// kMostPlayerDatagramsPerSecond, a player's most); the rest of the second goes up to the
// sockets. A player never meets it; a loop through the relay does at once, and is then
// counted where the sweep sees it live, so it is judged, and closed, as soon as on sockets.
#define GW_FLOW_DATAGRAMS_PER_SECOND 500
#define GW_FLOW_SECOND_NS 1000000000ull
// Tunnel ports whose new sources the kernel may turn away at once, an entry each while a
// flood at its port lasts; a tunnel flooded while all are taken is paced by its sockets
// alone, and says so. An entry holds 16 bytes, so room for many tunnels costs little.
#define GW_PACED_PORTS 1024
// The places of the table that remembers the sources turned away (a power of two, its
// bits); user space's pace keeps a table of the same shape (TAdmissionLimits::
// kTurnedAwayPlaces gives the reason).
#define GW_TURNED_AWAY_BITS 16
// First fragments turned away, remembered so that the rest of their datagram is too: the
// fragments of a datagram leave their sender one after the other, so a place needs to hold
// its datagram for microseconds, and 4,096 places do even at a million a second.
#define GW_FRAGMENTS_TURNED_AWAY_BITS 12
// A later fragment is turned away with its first one only this soon after it: the fragments
// of a datagram follow each other at once, and an identification the sender uses again
// later is another datagram's.
#define GW_FRAGMENTS_FOLLOW_WITHIN_NS 1000000000ull

// What the loader sets before loading, and the program holds until then (a program its
// tests load): the TTL of datagrams this host sends (net.ipv4.ip_default_ttl, 64 unless
// changed), and user space's pace, when a source turned away comes back and how long one is
// remembered (TAdmissionLimits::kComesBackAfter and kTurnedAwayRemembered).
#define GW_DEFAULT_TTL 64
#define GW_COMES_BACK_AFTER_NS 10000000ull
#define GW_TURNED_AWAY_REMEMBERED_NS 2000000000ull

// A datagram arriving from addr:port at this host's local_port.
struct gw_flow_key {
  __u32 addr;
  __u16 port;
  __u16 local_port;
};

// Which datagrams of the key it carries: those sent to local_addr, until carry_until_ns
// (CLOCK_MONOTONIC), which user space moves on while its sockets see the flow, while the
// routes are those of route_generation (the program's, which user space moves on at every
// change of the routes or links). How they leave: new addresses and ports, and the interface
// (0: a local destination, delivered up the stack). The kernel keeps the last time carried,
// counts, and where the flow's current second started (second_ns) with its count then.
struct gw_flow {
  __u32 local_addr;
  __u32 new_saddr;
  __u32 new_daddr;
  __u16 new_sport;
  __u16 new_dport;
  __u32 out_ifindex;
  __u64 carry_until_ns;
  __u64 last_seen_ns;
  __u64 datagrams;
  __u64 bytes;
  __u32 route_generation;
  __u32 unused;
  __u64 second_ns;
  __u64 datagrams_at_second;
};

// A tunnel port whose new sources (those no entry knows) are turned away until until_ns
// (CLOCK_MONOTONIC), as user space's pace does; the kernel counts those it turned away.
struct gw_paced_port {
  __u64 until_ns;
  __u64 turned_away;
};

// A source turned away, as key (address, port, local port), and when it was first.
struct gw_turned_away {
  __u64 source;
  __u64 at_ns;
};

// A source has two places in the table of sources turned away, found by two multiplicative
// hashes: sources whose first places meet rarely meet in their second.
static inline __u32 gw_turned_away_slot(__u64 source, int second) {
  const __u64 multiplier = second ? 0xC2B2AE3D27D4EB4Full : 0x9E3779B97F4A7C15ull;
  return (__u32)((source * multiplier) >> (64 - GW_TURNED_AWAY_BITS));
}

// Of a source's two places, the one that remembers it, or else the one to remember it in:
// the one taken longer ago, an empty one first. With one place each, two newcomers whose
// places meet and who try again at the same pace would replace each other at every try, and
// neither would ever be seen to come back.
static inline struct gw_turned_away* gw_turned_away_place(struct gw_turned_away* first, struct gw_turned_away* second,
                                                          __u64 source) {
  if (first->source == source) return first;
  if (second->source == source) return second;
  return first->at_ns <= second->at_ns ? first : second;
}

// A datagram whose first fragment was turned away: the fields the kernel reassembles its
// fragments by (the protocol is always UDP), and when.
struct gw_fragments_turned_away {
  __u32 saddr;
  __u32 daddr;
  __u16 id;
  __u16 unused[3];
  __u64 at_ns;
};
