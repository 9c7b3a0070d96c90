#!/usr/bin/env python3
"""The relay attacked from many addresses, as from the internet, in network namespaces of its own.

    bench/netns_abuse.py HEADLESS SCENARIO [options]

Needs root, iproute2 and prlimit. Makes four namespaces joined by veth pairs, runs HEADLESS
(a gatewarden-headless binary) in one of them with a settings file of its own, runs one
scenario while an established player plays and a newcomer arrives every half second,
prints the figures and removes everything it made, on any exit:

    players  10.99.3.2 ---- 10.99.3.1                       10.99.2.1 ---- 10.99.2.2  server
    (and 10.101.0.0/16)      relay: tunnel 7000, remote control 23817
    attacker 10.99.1.2 ---- 10.99.1.1
    (and 10.100.0.0/16; forged sources from 10.128.0.0/9 are routed there, and lost)

The game server (port 7777) echoes the players' datagrams and, as a game server does with
junk, ignores the attacker's (--answer-all makes it echo those too). The attacker forges
sources through a raw socket, and owns all of 10.100.0.0/16 (a local route) for connections
from many addresses; its processes run at nice 10, as an attacker elsewhere would not take
the relay's processors. The established player (10.99.3.2) sends every 10 ms from the
start; newcomers come every half second during the attack, each from an address of its own
in 10.101.0.0/16, resending every 100 ms until answered (at most 5 s). Scenarios:

  forged   --rate R (2000, 20000 or max) datagrams a second to the tunnel for --seconds,
           each from a new forged source (--repeat K: K datagrams in a row from each;
           --again-after MS: those K spaced MS apart, as a newcomer resends until answered;
           --answer-first: the server challenges each source's first datagram of junk and
           ignores the rest, as real servers do, so the forged relays are answered once)
  bypass   the forged flood (--rate, 50000) with the fast path, in --shape plain (as forged),
           options (4 bytes of IP options) or fragments (two, the UDP header in the first):
           what of it reaches the relay's sockets once the kernel turns the flood away, and
           the relay's processor time meanwhile
  icmp     --players N (300) more players play; the attacker sends ICMP "port unreachable"
           errors quoting the relay's upstream ports (the whole ephemeral range in turn)
           towards the game server, --rate a second (20000): how many players are deaf after
  guess    wrong passwords over --connections (32) remote-control connections, each from
           the next address of 10.100.0.0/16: guesses answered a second, the relay's memory
  silent   8 silent remote-control connections from each of 4 addresses, reopened whenever
           closed, while the administrator (from the players' side) asks `create` every second
  hog      --connections (32) remote-control connections from 8 /24s of 10.100.0.0/16, each
           always with a wrong password waiting for its answer, reopened (from the next
           address of its /24) whenever closed, while an administrator from an address the
           relay has never seen (a new one each time) asks `create` every second
  slowloris --slow N (300) connections to the relay's metrics endpoint ([Metrics] Port=9100 on
           the relay's address that the attacker reaches), each from an address of its own in
           10.100.0.0/16, sending a request's header a byte every few seconds and never
           finishing it, reopened whenever closed, while a scraper on the players' side
           scrapes every second: each scrape's time
  pin      the administrator makes 5 temporary tunnels (a range of 5 ports); a stranger
           sends one datagram to each every 30 s: whether `create` works at 70 s and 110 s
           (only the checks that fall within --seconds, default 115); the stranger counts the
           replies it gets, and with --answer-all those of the rounds while the tunnels are
           open must all come
  blind    --sources N (2040) forged sources to the tunnel, each keeping a relay as cheaply as it
           can without seeing a reply: 12 datagrams in 1.3 s (past what makes a relay
           established), then one every 8 s (within its 12 s), started over the first 2 s; the
           server answers them like an echo (--answer-all always), and the relay has --nofile
           2000 unless told otherwise. Beside them the administrator makes 5 temporary tunnels
           (a range of 5 ports), each held the same way by one more forged source: whether the
           newcomers are answered, and `create` works at 75 s (checks within --seconds, 80)
  reflect  the query port (AddPort=1: 7001 to the game server's 7778, which answers `\\status\\`
           with some 2,000 bytes, as a UT server does): --rate R (2000 or max) forged
           `\\status\\` a second for --seconds (10) from the victim port of --victims 1 address
           or of all 256 of a /24 in turn, the victims in a namespace of their own (10.99.6.2,
           their /24 10.99.7.0/24 routed there); the bytes that reach them against the
           attacker's (payload, and frames on the links), beside the server's own
           amplification. A browser (10.101.200.1) first sends 10 `\\status\\` at once from a
           new port, then one every half second throughout. Held: no more payload reaches the
           victims than the attacker sent, the burst is answered whole, and 9 in 10 of the
           others within 1 s. --browser victim puts the browser at the forged address (another
           port of it), --browser network at another address of the forged /24 (with
           --victims 256): half of its queries answered is held then. --master names the victim
           address a master server ([Masters], heartbeats every 2 s to the victims' port, counted
           with what reaches them): the forged queries carry a master's address. --tunnels N
           serves N tunnels with query ports (7000, 7002, ...); 2 s into the attack a browser
           of 10.101.201.0/24 refreshes them all at once, 3 s later eight of that /24 together:
           each refresh answered whole is held. --everywhere forges each query from a new
           source of 10.128.0.0/9 (routed away) rather than naming victims
  loop     one forged `\\echo\\x` to the query port from a naive third party's query port
           (10.99.8.2:7778, in a namespace of its own, which answers whatever arrives as a
           query), or with --between-relays from the query port of a second relay of ours
           (10.99.9.2, same settings, same game server); the datagrams a second at the game
           server's query port and at the third party for --seconds (10). Held: at most 5
           arrive at either after the first second
  gameloop one forged 4-byte datagram to the game port from an echo service (10.99.10.2:7, in a
           namespace of its own), or with --between-relays from the game port of a second relay
           of ours (10.99.9.2:7000, same settings, same game server); the server answers every
           datagram (--answer-all): the loop's datagrams at the server, a second, for --seconds
           (12) and the tail. Held: the loop lasts at most 1.2 s at the server
  route    a player at 30 datagrams a second from 10.99.3.2:40404 for --seconds (20); half way,
           the game server's route moves to a second link between the relay and the server
           (10.99.12.0/24) and the first goes dark (its next hop's link address gone); all
           along, 200 datagrams a second of 4 bytes whose UDP length claims 2,900, forged from
           the player's address and port (the relay serves its metrics on 10.99.1.1:9100).
           Held: the player loses under a second of datagrams, and the metrics' bytes towards
           the server pass those the server took by at most 10,000
  share    forged `\\status\\` to the query port, --rate R (2000) a second for --seconds (12), from
           128 ports of one address of the players (10.101.64.1), all of that address's query
           relays, while that address comes to play on the game port from a new port, 10 times
           a second apart: held, each try answered within 1 s
  lookups  --masters N (3) masters in [Masters] whose names never resolve (the relay's namespace
           asks a name server that never answers; its hosts file names the game server
           LOOKUP_HOST), then the administrator makes a temporary tunnel to LOOKUP_HOST by
           name and a player sends through it 30 datagrams a second for --seconds (15): how
           many are answered, and how soon the first. Held: the first within a second, and
           all but those before it
  mixed    the floods of a relay facing the internet at once, for --seconds (60; a long run is
           what it is for): --rate R (300) forged datagrams a second to the tunnel, each from a
           new source, R forged `\\status\\` a second to its query port (AddPort=1) from
           MIXED_QUERY_SOURCES forged sources in turn, --slow N (300) slow connections to the
           metrics endpoint as in slowloris, and a scrape every --scrape-every S (1): the relay's resident
           memory along the way (its rise over the attack's second half held), every scrape
           within a second, the established player's losses and p99
  carried  the kernel's fast path carrying a crowd (FastPath=1 unless --fast-path 0): --relays N
           (30000) players come in at 1,000 a second, 100 to an address of 10.101.0.0/16, each
           sending every 100 ms for 2.5 s (answered, then established), then every 1.5 s (every
           other datagram carried by the kernel, the next renewing its lease); the relay serves
           the query port (AddPort=1) and its metrics on 10.99.1.1:9100, with --nofile N + 1000
           and upstream ports 10000-65535 unless --port-range. Once the crowd is in: the relays
           the metrics count and the kernel's table (bpftool), then for --seconds (20) the
           established player's round trips (every 10 ms) and those of `\\echo\\N` queries to the
           query port (25 browsers, each 4 a second from an address of its own /24, within the
           query budgets), the first half without scrapes, the second with a scrape every
           second; the relay's processor time and the datagrams reaching its sockets in each
           half; how many of the crowd's relays the kernel carried a datagram of between two
           readings of its table. Held: p99 and worst of both, in both halves, and at least 90%
           of the crowd held by the relay (and carried, with the fast path)

Options: --fast-path 0|1 (FastPath of the relay's settings; 1 for bypass, 0 otherwise), --nofile N (the relay's
descriptor limit, 20000), --seconds T (the attack's length), --port-range LOW-HIGH (the
relay namespace's ephemeral ports: a narrow range makes the icmp spray meet every relay more
often), --check (compare the figures with tests/reliability/netns_limits.py's limits and exit 1 when one is missed),
--keep DIR (keep the relay's log and settings there), --sanitized (HEADLESS is a
sanitizer build: neither its memory nor its latencies are held to the limits),
--latency-unheld (the latencies are printed, not held: a run too short, or beside other
load, for a 2 ms limit to say anything), --victims 1|256 and --between-relays (above),
--slow-newcomers S (the server answers a newcomer only once its source, address and upstream
port as the server sees them, has been sending for S seconds: each newcomer's limit and
patience are S longer, the run's tail too, and the server tells how many upstream ports it
saw per newcomer, held to one). Every run prints the relay's descriptors and memory at the
attack's start and end (for an attack of a minute or more, at each tenth of it too) and its
log's lines a second, to judge a long run bounded.
Everything stops by itself; the figures are noisy on a loaded machine. tests/reliability/netns_attacks.sh runs short
versions with --check.
"""
import argparse
import collections
import ctypes
import heapq
import json
import os
import re
import resource
import selectors
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

SELF = os.path.abspath(__file__)
# The shared helpers, and the limits --check holds the figures to, which live beside the test.
sys.path[:0] = [os.path.join(os.path.dirname(SELF), "..", "tests", folder) for folder in ("lib", "reliability")]
import gwtest  # noqa: E402
from netns_limits import LIMITS  # noqa: E402
TUNNEL, REMOTE, GAME = 7000, 23817, 7777
RELAY_PLAYERS, RELAY_ATTACKER, RELAY_SERVER = "10.99.3.1", "10.99.1.1", "10.99.2.1"
PLAYERS, ATTACKER, SERVER = "10.99.3.2", "10.99.1.2", "10.99.2.2"
FORGED_NET, FORGED_SIZE = 0x0A800000, 1 << 23     # 10.128.0.0/9, never local anywhere
OWNED_NET = "10.100.0.0/16"                        # local to the attacker: any address binds
CROWD_NET = "10.101.0.0/16"                        # the same for the players: one address each
PASSWORD = "not-the-default"
PIN_RANGE = (8000, 8004)
SO_RCVBUFFORCE = 33                                # Linux; root may pass rmem_max
PR_SET_PDEATHSIG = 1

# The timeline, in seconds: the established player settles in before the attack and the
# players keep measuring after it, so a relay left deaf by the attack shows.
WARM_UP, TAIL = 2.0, 3.0
PLAYER_EVERY, NEWCOMER_EVERY, NEWCOMER_RESEND, NEWCOMER_GIVES_UP = 0.010, 0.5, 0.100, 5.0
# The icmp scenario's players send together, as clients do on a server's tick, so that their
# datagrams reach the relay in bursts; two seconds of tail is twenty tries each.
CROWD_EVERY = 0.1
SAMPLE_EVERY = 0.25    # the relay's descriptors and memory
LONG_ATTACK = 60.0      # from this long on, the descriptors and memory are told along the way too
SETTLE = 3.0           # after this much of a flood the relay's defences have taken hold
PIN_EVERY, PIN_CHECKS = 30.0, (70.0, 110.0)
# The blind scenario: each forged source's burst (datagrams, over seconds), then one datagram
# this often; the sources start over the first seconds of the attack; `create` checked then.
BLIND_BURST, BLIND_BURST_SPAN, BLIND_EVERY, BLIND_RAMP, BLIND_CHECKS = 12, 1.3, 8.0, 10.0, (75.0,)
BLIND_NOFILE = 2000
# The slowloris scenario: the relay's metrics port, a byte sent by each slow connection this
# often, and how long a scrape may take before the scraper gives up.
METRICS, SLOW_BYTE_EVERY, SCRAPE_GIVES_UP = 9100, 3.0, 10.0

# New trials a second the relay makes: a flood within it is served. Read from the relay's
# own limits, so that the two never disagree.
with open(os.path.join(os.path.dirname(SELF), "..", "engine", "admission.h")) as limits:
    TRIAL_PACE = int(re.search(r"kNewTrialsPerSecond = (\d+);", limits.read()).group(1))

# --- query-port scenarios (reflect, loop): the tunnel also serves its query port ----------
# More namespaces, each joined to the relay's by a veth pair of its own:
#   victims 10.99.6.2 ---- 10.99.6.1 relay; the victims' addresses are all of 10.99.7.0/24
#   third   10.99.8.2 ---- 10.99.8.1 relay; another UT server's query port, 7778
#   relayb  10.99.9.2 ---- 10.99.9.1 relay; a second relay of ours (loop --between-relays)
QUERY_SCENARIOS = ("reflect", "loop", "share", "mixed")
QUERY, SERVER_QUERY = TUNNEL + 1, GAME + 1         # the tunnel's query port (AddPort=1), the server's
VICTIM_LINK, RELAY_VICTIM_LINK = "10.99.6.2", "10.99.6.1"
VICTIM_NET, VICTIM_PORT = 0x0A630700, 27960        # 10.99.7.0/24, local to the victims' namespace
THIRD, RELAY_THIRD, THIRD_QUERY = "10.99.8.2", "10.99.8.1", 7778
RELAY_B, RELAY_A_FOR_B = "10.99.9.2", "10.99.9.1"
# reflect --tunnels N: refreshes of every server from browsers of one /24 (10.101.201.0/24, of
# CROWD_NET: the players' namespace owns it), one browser alone, then REFRESH_TOGETHER at once.
REFRESH_NET, REFRESH_RETRY, REFRESH_WAIT, REFRESH_TOGETHER = 0x0A65C900, 0.5, 1.5, 8
EVERYWHERE_SOURCES = 50000                         # reflect --everywhere: forged sources, in turn
MASTER_INTERVAL = 2                                # reflect --master: heartbeats as often as a test allows
BROWSER = "10.101.200.1"                           # of CROWD_NET: a /24 of its own
BROWSER_EVERY, BROWSER_WAIT, BROWSER_BURST = 0.5, 1.0, 10
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)      # Linux; Python names it from 3.12 on
STATUS_QUERIES = (b"\\status\\", b"\\info\\", b"\\basic\\", b"\\rules\\", b"\\players\\")
# share: forged `\status\` from one address's whole share of query relays, one per source port
# (TAdmission::kMaxRelaysPerAddress), while that address comes to play from a port of its own.
SHARE_VICTIM, SHARE_FORGED_PORT, SHARE_SOURCES = "10.101.64.1", 20000, 128  # of CROWD_NET
SHARE_FIRST_TRY, SHARE_TRIES = 1.0, 10
# lookups: the game server's name in the relay's hosts file, the masters' names that no name
# server answers, and the player's pace through the tunnel made by name.
LOOKUP_HOST, LOOKUP_MASTERS, LOOKUP_EVERY = "game.lookups.test", "master{}.lookups.test", 1 / 30
SILENT_NAME_SERVER = "127.0.0.53"
# mixed: the forged query sources, taken in turn, so that each comes back every minute or so
# at the default rate, as a flood that names many victims does.
MIXED_QUERY_SOURCES = 20000


def now():
    return time.monotonic()


def sleep_until(moment):
    delay = moment - now()
    if delay > 0:
        time.sleep(delay)


def percentile(values, fraction):
    if not values:
        return None
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * fraction))]


def ms(seconds):
    return "none" if seconds is None else f"{seconds * 1000:.2f} ms"


def ipv4(number):
    return socket.inet_ntoa(struct.pack("!I", number))


def spread_address(net, index):
    """The index-th address of a /16 (`net`), skipping .0 and .255."""
    index %= 256 * 254
    return net.replace("0.0/16", f"{index // 254}.{index % 254 + 1}")


def emit(result):
    print(json.dumps(result), flush=True)


# --- roles: each runs in a namespace of its own, prints one JSON line and ends by itself ---

def serving(address, port, buffer=0, options=()):
    """A datagram socket bound to address:port, polled every 0.1 s, told ready to the lab;
    and the event SIGTERM sets, which ends the role's loop."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    if buffer:
        s.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, buffer)
    for level, name, value in options:
        s.setsockopt(level, name, value)
    s.bind((address, port))
    s.settimeout(0.1)
    print("ready", flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    return s, stop


def role_server(p):
    """Echoes players; counts what reaches it per source and second. With `answer_first` it
    challenges a source's first datagram of junk and ignores the rest, as a real server
    does; with `slow_newcomers` S it answers a newcomer's source (address and port, as it
    sees them) only once that source has been sending for S seconds, noting the sources
    it saw for each newcomer."""
    game, stop = serving(SERVER, GAME, 8 << 20)
    drops_before = udp_receive_errors()
    second, per_source, junk_total, busiest_second = None, collections.Counter(), 0, 0
    worst_source, players, received = 0, 0, 0
    # gameloop: the junk a tenth of a second (of the clock every namespace shares).
    tenths = collections.Counter()
    challenge = ChallengeMemory() if p.get("answer_first") else None
    slow = SlowNewcomers(p["slow_newcomers"]) if p.get("slow_newcomers") else None
    while not stop.is_set() and now() < p["until"]:
        try:
            data, source = game.recvfrom(65536)
        except socket.timeout:
            continue
        received += len(data)
        if data[:1] == b"P":
            players += 1
            if slow is None or slow.answers(data, source):
                game.sendto(data, source)
            continue
        if p["answer_all"]:
            game.sendto(data, source)
        elif challenge is not None and challenge.first(source):
            game.sendto(CHALLENGE, source)
        moment = int(now())
        if moment != second:
            if per_source:
                worst_source = max(worst_source, max(per_source.values()))
                busiest_second = max(busiest_second, sum(per_source.values()))
            second, per_source = moment, collections.Counter()
        # A forged datagram names its forged source, which the relay's upstream port does not:
        # the system gives that port to a later trial once the first has gone.
        per_source[data[1:5] if data[:1] == b"J" else source] += 1
        junk_total += 1
        tenths[int(now() * 10)] += 1
    if per_source:
        worst_source = max(worst_source, max(per_source.values()))
        busiest_second = max(busiest_second, sum(per_source.values()))
    extra = {}
    if challenge is not None:
        extra["challenges"] = challenge.sent
    if slow is not None:
        extra["newcomer_sources"] = slow.sources_per_newcomer()
    emit({"junk": junk_total, "junk_sources_max_per_second": worst_source,
          "junk_busiest_second": busiest_second, "players": players, "received_bytes": received,
          "junk_tenths": {str(k): v for k, v in sorted(tenths.items())},
          "dropped": udp_receive_errors() - drops_before, **extra})


# A server's challenge to a source it does not know, and how long it keeps the source in mind:
# a source silent that long is new again (the relay's system reuses an upstream port once the
# relay holding it has gone).
CHALLENGE, CHALLENGE_FORGOTTEN_AFTER = b"\\challenge\\gw-bench", 5.0


class ChallengeMemory:
    """--answer-first: whether a source's datagram is its first (a challenge is due)."""

    def __init__(self):
        self.last_seen = {}
        self.sent = 0

    def first(self, source):
        moment = now()
        seen = self.last_seen.get(source)
        self.last_seen[source] = moment
        if seen is not None and moment - seen < CHALLENGE_FORGOTTEN_AFTER:
            return False
        self.sent += 1
        return True


class SlowNewcomers:
    """--slow-newcomers S: a newcomer's datagram (b"Pnew" and its index) is answered once its
    source has been sending for S seconds; the sources seen for each newcomer are kept."""

    def __init__(self, seconds):
        self.seconds = seconds
        self.first_seen = {}
        self.sources = collections.defaultdict(set)

    def answers(self, data, source):
        if not data.startswith(b"Pnew"):
            return True
        moment = now()
        self.sources[data[4:].decode(errors="replace")].add(source)
        return moment - self.first_seen.setdefault(source, moment) >= self.seconds

    def sources_per_newcomer(self):
        return {index: len(sources) for index, sources in self.sources.items()}


def snmp_field(text, group, field):
    """A counter of /proc/net/snmp's text: a row of names, then one of values, per group."""
    rows = [line.split() for line in text.splitlines() if line.startswith(group + ":")]
    return int(rows[1][rows[0].index(field)])


def udp_receive_errors():
    """Datagrams this namespace's UDP dropped for want of queue room."""
    with open("/proc/net/snmp") as f:
        return snmp_field(f.read(), "Udp", "RcvbufErrors")


def role_players(p):
    """The established player, the newcomers and, for icmp, the crowd; all measured."""
    relay = (RELAY_PLAYERS, TUNNEL)
    selector = selectors.DefaultSelector()
    attack_start, attack_end, end = p["attack_start"], p["attack_end"], p["end"]

    def open_socket(role, address=PLAYERS):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((address, 0))
        s.setblocking(False)
        selector.register(s, selectors.EVENT_READ, role)
        return s

    player = open_socket(("player", None))
    sent_at, round_trips, player_sent, sequence = {}, [], 0, 0
    # The relay caps relays per address, as it should: every other player has an address of its own.
    crowd = [{"sock": open_socket(("crowd", i), spread_address(CROWD_NET, i)), "answered": None}
             for i in range(p["crowd"])]
    next_crowd = now()
    newcomers, next_newcomer = [], attack_start
    next_player = now()
    while now() < end:
        moment = now()
        if moment >= next_player:
            # Only what is sent from the attack's start on counts, and nothing of the last
            # second, so that every datagram counted had time to come back.
            if attack_start <= moment < end - 1.0:
                sent_at[sequence] = moment
                player_sent += 1
            player.sendto(b"P%d" % sequence, relay)
            sequence += 1
            next_player = max(next_player + PLAYER_EVERY, moment - PLAYER_EVERY)
        if crowd and moment >= next_crowd:
            for c in crowd:
                c["sock"].sendto(b"Pcrowd", relay)
            next_crowd += CROWD_EVERY
        if moment >= next_newcomer and moment < attack_end:
            newcomers.append({"sock": open_socket(("newcomer", len(newcomers)),
                                                  spread_address(CROWD_NET, 254 * 128 + len(newcomers))),
                              "first": moment, "hello": b"Pnew%d" % len(newcomers),
                              "next": moment, "wait": None})
            next_newcomer += NEWCOMER_EVERY
        for n in newcomers:
            if n["wait"] is None and n["sock"] is not None:
                if moment - n["first"] > p.get("patience", NEWCOMER_GIVES_UP):
                    selector.unregister(n["sock"])
                    n["sock"].close()
                    n["sock"] = None
                elif moment >= n["next"]:
                    n["sock"].sendto(n["hello"], relay)
                    n["next"] += NEWCOMER_RESEND
        for key, _ in selector.select(timeout=max(0.0, min(next_player, moment + 0.005) - now())):
            kind, index = key.data
            try:
                data = key.fileobj.recv(4096)
            except OSError:
                continue     # a refusal the system reported; the next send tries again
            arrived = now()
            if kind == "player":
                started = sent_at.pop(int(data[1:]), None)
                if started is not None:
                    round_trips.append(arrived - started)
            elif kind == "crowd":
                crowd[index]["answered"] = arrived
            elif kind == "newcomer" and newcomers[index]["wait"] is None:
                newcomers[index]["wait"] = arrived - newcomers[index]["first"]
                selector.unregister(key.fileobj)
                key.fileobj.close()
                newcomers[index]["sock"] = None
    waits = [n["wait"] for n in newcomers]
    answered = [w for w in waits if w is not None]
    emit({"player_sent": player_sent, "player_lost": len(sent_at),
          "p50": percentile(round_trips, 0.5), "p99": percentile(round_trips, 0.99),
          "worst": max(round_trips, default=None),
          "newcomers": len(newcomers), "newcomers_unanswered": len(waits) - len(answered),
          "newcomer_worst": max(answered, default=None) if len(answered) == len(waits) else None,
          "newcomer_p50": percentile(answered, 0.5), "newcomer_waits": waits,
          "crowd": len(crowd),
          "crowd_deaf": sum(1 for c in crowd if c["answered"] is None or c["answered"] < attack_end + 1.0),
          "crowd_never": sum(1 for c in crowd if c["answered"] is None)})


def paced(rate, start, until):
    """Yields how many to send now, so that `rate` a second ("max": as fast as it goes) are
    sent from `start` until `until`."""
    sleep_until(start)
    done = 0
    while True:
        moment = now()
        if moment >= until:
            return
        if rate == "max":
            yield 256
            done += 256
            continue
        due = int((moment - start) * rate) - done
        if due <= 0:
            time.sleep(0.0005)
            continue
        due = min(due, 1000)
        yield due
        done += due


def forged_source(number):
    """The number-th forged source: an address of FORGED_NET and a port."""
    return FORGED_NET + 1 + number % (FORGED_SIZE - 2), 1024 + (number * 7919) % 64000


def role_forge(p):
    """Datagrams to the tunnel from forged sources, through a raw socket."""
    raw = gwtest.raw_socket()
    packet = gwtest.forged(("0.0.0.0", 0), (RELAY_ATTACKER, TUNNEL), b"J" * 31)
    target = (RELAY_ATTACKER, 0)
    sent = failed = sources = 0
    # Sources to send again, as (when, source, datagrams left), in the order they fall due.
    again = collections.deque()
    for count in paced(p["rate"], p["start"], p["until"]):
        moment = now()
        for _ in range(count):
            if not p["again_after"]:
                source = sent // p["repeat"]
                sources = source + 1
            elif again and again[0][0] <= moment:
                _, source, left = again.popleft()
                if left > 1:
                    again.append((moment + p["again_after"], source, left - 1))
            else:
                source, sources = sources, sources + 1
                if p["repeat"] > 1:
                    again.append((moment + p["again_after"], source, p["repeat"] - 1))
            address, port = forged_source(source)
            struct.pack_into("!I", packet, 12, address)
            struct.pack_into("!H", packet, 20, port)
            struct.pack_into("!I", packet, 29, source)
            try:
                raw.sendto(packet, target)
                sent += 1
            except OSError:
                failed += 1
                break
    emit({"sent": sent, "failed": failed, "sources": sources})


def role_blind(p):
    """Forged sources, each keeping a relay as cheaply as it can without seeing a reply: a
    burst of BLIND_BURST datagrams over BLIND_BURST_SPAN seconds, then one every BLIND_EVERY,
    the i-th source to the i-th of the ports in turn, through a raw socket."""
    raw = gwtest.raw_socket()
    packet = gwtest.forged(("0.0.0.0", 0), (RELAY_ATTACKER, TUNNEL), b"J" * 31)
    target = (RELAY_ATTACKER, 0)
    ports, count, first = p["ports"], p["sources"], p["first_source"]
    # (when, source, datagrams sent), the next due first.
    due = [(p["start"] + p["ramp"] * i / count, i, 0) for i in range(count)]
    heapq.heapify(due)
    sent = failed = 0
    while due and due[0][0] < p["until"]:
        moment, i, k = due[0]
        if moment > now():
            time.sleep(max(0.0, min(moment - now(), 0.01)))
            continue
        heapq.heappop(due)
        address, port = forged_source(first + i)
        struct.pack_into("!I", packet, 12, address)
        struct.pack_into("!HH", packet, 20, port, ports[i % len(ports)])
        struct.pack_into("!I", packet, 29, first + i)
        try:
            raw.sendto(packet, target)
            sent += 1
        except OSError:
            failed += 1
        k += 1
        step = BLIND_BURST_SPAN / (BLIND_BURST - 1) if k < BLIND_BURST else BLIND_EVERY
        heapq.heappush(due, (moment + step, i, k))
    emit({"sent": sent, "failed": failed, "sources": count})


# IP options that every host takes as they are: three no-operations and the list's end.
BYPASS_OPTIONS = b"\x01\x01\x01\x00"
# Fragment offsets count 8-byte units: the first fragment carries the UDP header and 16
# bytes of the payload, the forged source's number among them.
BYPASS_FIRST_FRAGMENT = 24
IP_MORE_FRAGMENTS = 0x2000


def role_bypass(p):
    """The forged flood, one datagram per new source, through a raw socket, in one of the
    shapes a classifier that reads only plain datagrams would let by."""
    raw = gwtest.raw_socket()
    payload = b"J" * 31
    udp = gwtest.udp_header(0, TUNNEL, len(payload)) + payload

    def header(options=b"", fragment=0):
        # The identification is set below, the same in every fragment of a datagram.
        return gwtest.ip_header("0.0.0.0", RELAY_ATTACKER, options=options, fragment=fragment)

    if p["shape"] == "fragments":
        cut = BYPASS_FIRST_FRAGMENT
        packets = [bytearray(header(fragment=IP_MORE_FRAGMENTS) + udp[:cut]),
                   bytearray(header(fragment=cut // 8) + udp[cut:])]
    else:
        packets = [bytearray(header(BYPASS_OPTIONS if p["shape"] == "options" else b"") + udp)]
    udp_at = (packets[0][0] & 0xF) * 4
    target = (RELAY_ATTACKER, 0)
    sent = failed = 0
    for count in paced(p["rate"], p["start"], p["until"]):
        for _ in range(count):
            address, port = forged_source(sent)
            struct.pack_into("!H", packets[0], udp_at, port)
            struct.pack_into("!I", packets[0], udp_at + 9, sent)
            try:
                for packet in packets:
                    struct.pack_into("!H", packet, 4, 1 + sent % 65535)
                    struct.pack_into("!I", packet, 12, address)
                    raw.sendto(packet, target)
                sent += 1
            except OSError:
                failed += 1
                break
    emit({"sent": sent, "failed": failed, "sources": sent})


def cpu_seconds(pid):
    """The processor time a process has taken, user and system."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def checksum(data):
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def role_icmp(p):
    """ICMP "port unreachable" errors quoting each ephemeral port in turn, as if the game
    server had sent them, from the attacker's own address."""
    raw = gwtest.raw_socket(socket.IPPROTO_ICMP)
    quoted_ip = gwtest.ip_header(RELAY_SERVER, SERVER, total=20 + 8 + 16)
    message = bytearray(struct.pack("!BBHI", 3, 3, 0, 0) + quoted_ip + gwtest.udp_header(0, GAME, 16))
    base = checksum(bytes(message))        # the quoted source port adds to it
    low, high = p["ports"]
    target = (RELAY_ATTACKER, 0)
    sent = failed = 0
    for count in paced(p["rate"], p["start"], p["until"]):
        for _ in range(count):
            port = low + sent % (high - low + 1)
            total = base + port
            total = (total & 0xFFFF) + (total >> 16)
            struct.pack_into("!H", message, 2, ~total & 0xFFFF)
            struct.pack_into("!H", message, 28, port)
            try:
                raw.sendto(message, target)
                sent += 1
            except OSError:
                failed += 1
                break
    emit({"sent": sent, "failed": failed})


def role_guess(p):
    """Wrong passwords, each connection from the next address; a connection is dropped and
    replaced by one from a fresh address as soon as its guess is answered."""
    selector = selectors.DefaultSelector()
    next_address, answered, refused = 0, 0, 0
    per_second = collections.Counter()

    def open_one():
        nonlocal next_address, refused
        s = socket.socket()
        s.setblocking(False)
        s.bind((spread_address(OWNED_NET, next_address), 0))
        next_address += 1
        s.connect_ex((RELAY_ATTACKER, REMOTE))
        selector.register(s, selectors.EVENT_WRITE, b"")

    sleep_until(p["start"])
    for _ in range(p["connections"]):
        open_one()
    while now() < p["until"]:
        for key, events in selector.select(timeout=0.1):
            s = key.fileobj
            if events & selectors.EVENT_WRITE:
                if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
                    refused += 1
                else:
                    try:
                        s.send(b"create|guess%d|%s" % (next_address, SERVER.encode()))
                        selector.modify(s, selectors.EVENT_READ, b"")
                        continue
                    except OSError:
                        refused += 1
            else:
                try:
                    reply = s.recv(4096)
                except OSError:
                    reply = b""
                if reply.count(b"error|"):
                    answered += reply.count(b"error|")
                    per_second[int(now() - p["start"])] += reply.count(b"error|")
            selector.unregister(s)
            s.close()
            open_one()
    emit({"answered": answered, "seconds": p["until"] - p["start"], "refused_or_closed": refused,
          "addresses": next_address, "busiest_second": max(per_second.values(), default=0)})


def hold_connections(keys, source, until, on_open=None, on_reply=None):
    """A remote-control connection for each of `keys`, from `source(key)`, opened again
    whenever closed until `until`, a few connecting at a time (the listener's backlog is
    short). `on_open(sock)` runs once one is connected, `on_reply(sock, data)` at each reply.
    Returns how many times one was closed."""
    selector = selectors.DefaultSelector()
    waiting = collections.deque(keys)
    connecting, reopened = 0, 0

    def open_waiting():
        nonlocal connecting
        while waiting and connecting < 4:
            s = socket.socket()
            s.setblocking(False)
            s.bind((source(waiting[0]), 0))
            s.connect_ex((RELAY_ATTACKER, REMOTE))
            selector.register(s, selectors.EVENT_WRITE, waiting.popleft())
            connecting += 1

    def closed(key):
        selector.unregister(key.fileobj)
        key.fileobj.close()
        waiting.append(key.data)

    open_waiting()
    while now() < until:
        for key, events in selector.select(timeout=0.1):
            try:
                if events & selectors.EVENT_WRITE:
                    connecting -= 1
                    if key.fileobj.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
                        closed(key)
                        continue
                    if on_open:
                        on_open(key.fileobj)
                    selector.modify(key.fileobj, selectors.EVENT_READ, key.data)
                    continue
                data = key.fileobj.recv(4096)
                if data:
                    if on_reply:
                        on_reply(key.fileobj, data)
                    continue
            except OSError:
                pass
            reopened += 1
            closed(key)
        open_waiting()
    return reopened


def role_silent(p):
    """8 silent connections from each of 4 addresses, each reopened as soon as it closes. They
    connect a few at a time from the players' warm-up on, so that they hold their slots
    before the administrator comes."""
    # Four networks: no /24 holds two of the addresses.
    addresses = [spread_address(OWNED_NET, 254 * (7 + i)) for i in range(4) for _ in range(8)]
    sleep_until(p["start"])
    emit({"reopened": hold_connections(addresses, lambda address: address, p["until"])})


def role_hog(p):
    """Connections spread over 8 /24 networks, each sending a wrong password at once and
    another as soon as one is answered, so that one always waits for its answer; a closed
    one is opened again from the next address of its network."""
    # Each network's addresses in turn: an address locked out after its wrong passwords is
    # left behind.
    next_host = collections.Counter()
    answered = 0

    def source(network):
        next_host[network] += 1
        return spread_address(OWNED_NET, 254 * (20 + network) + (next_host[network] - 1) % 254)

    def guess(s):
        s.send(b"create|hog%d|%s" % (answered, SERVER.encode()))

    def replied(s, data):
        nonlocal answered
        answered += data.count(b"error|")
        guess(s)

    sleep_until(p["start"])
    reopened = hold_connections([i % 8 for i in range(p["connections"])], source, p["until"], guess, replied)
    emit({"reopened": reopened, "answered": answered, "addresses": sum(next_host.values())})


def role_silent_dns(p):
    """A name server that takes every question and never answers: bound, never reading."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((SILENT_NAME_SERVER, 53))
    print("ready", flush=True)
    sleep_until(p["until"])


def role_lookup_player(p):
    """`create` for the game server by name at `start`, then a player through the tunnel it
    names, one datagram every LOOKUP_EVERY for `seconds`: each answered or not."""
    reply = "no reply"
    sleep_until(p["start"])
    try:
        with socket.create_connection((RELAY_PLAYERS, REMOTE), timeout=2.0) as admin:
            admin.settimeout(2.0)
            admin.sendall(b"create|%s|%s:%d" % (PASSWORD.encode(), LOOKUP_HOST.encode(), GAME))
            reply = admin.recv(4096).decode(errors="replace").strip()
    except OSError as e:
        reply = f"no reply ({e})"
    if not reply.startswith("tunnel|"):
        emit({"create": reply, "sent": 0, "answered": 0, "first": None})
        return
    made, port = now(), int(reply.split("|")[1])
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setblocking(False)
    sent, answered, first = 0, set(), None
    while True:
        moment = now()
        if moment >= made + p["seconds"] + 1.0:
            break
        if moment < made + p["seconds"] and moment >= made + sent * LOOKUP_EVERY:
            s.sendto(b"P%08d" % sent, (RELAY_PLAYERS, port))
            sent += 1
        try:
            data = s.recv(64)
            answered.add(int(data[1:9]))
            first = first if first is not None else now() - made
        except (BlockingIOError, ValueError):
            time.sleep(0.002)
    emit({"create": reply, "sent": sent, "answered": len(answered), "first": first})


def role_slowloris(p):
    """Slow connections to the metrics endpoint: each from an address of its own, sending
    one byte of a request's header every few seconds, opened again whenever closed."""
    selector = selectors.DefaultSelector()
    request = b"GET /metrics HTTP/1.1\r\nHost: relay\r\nUser-Agent: slow\r\nX-Padding: " + b"a" * 4000
    next_address, connecting, reopened, refused = 0, 0, 0, 0
    conns = {}      # socket: [next byte's index, when to send it]
    open_counts = []

    def open_one():
        nonlocal next_address, connecting
        s = socket.socket()
        s.setblocking(False)
        s.bind((spread_address(OWNED_NET, 254 * 100 + next_address % (254 * 100)), 0))
        next_address += 1
        s.connect_ex((RELAY_ATTACKER, METRICS))
        selector.register(s, selectors.EVENT_WRITE | selectors.EVENT_READ)
        conns[s] = None
        connecting += 1

    def drop(s):
        nonlocal reopened
        selector.unregister(s)
        s.close()
        del conns[s]
        reopened += 1

    sleep_until(p["start"])
    last_count = now()
    while now() < p["until"]:
        # A connect in flight at most 50 at a time, as the listener's backlog is bounded.
        while len(conns) < p["connections"] and connecting < 50:
            open_one()
        for key, events in selector.select(timeout=0.05):
            s = key.fileobj
            if conns[s] is None:
                connecting -= 1
                if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
                    refused += 1
                    drop(s)
                    continue
                conns[s] = [0, now()]
                selector.modify(s, selectors.EVENT_READ)
                continue
            try:
                if s.recv(4096):
                    continue
            except OSError:
                pass
            drop(s)
        moment = now()
        for s, state in list(conns.items()):
            if state is None or state[1] > moment:
                continue
            try:
                s.send(request[state[0] % len(request):state[0] % len(request) + 1])
                state[0] += 1
                state[1] = moment + SLOW_BYTE_EVERY
            except OSError:
                drop(s)
        if moment - last_count >= 1.0:
            open_counts.append(sum(1 for state in conns.values() if state is not None))
            last_count = moment
    emit({"reopened": reopened, "refused": refused, "addresses": next_address,
          "open_least": min(open_counts, default=0), "open_most": max(open_counts, default=0)})


def role_scraper(p):
    """A scrape of the metrics endpoint at each moment, each on a new connection of its own
    (so a slow one holds up no later one): its time to the whole answer, or why it failed."""
    scrapes = []

    def scrape(moment):
        began, outcome = now(), None
        try:
            with socket.create_connection((RELAY_ATTACKER, METRICS), timeout=SCRAPE_GIVES_UP) as s:
                s.sendall(b"GET /metrics HTTP/1.1\r\nHost: relay\r\nAccept: text/plain\r\nConnection: close\r\n\r\n")
                answer = b""
                while True:
                    s.settimeout(max(0.1, began + SCRAPE_GIVES_UP - now()))
                    data = s.recv(65536)
                    if not data:
                        break
                    answer += data
                if not answer.startswith(b"HTTP/1.1 200"):
                    outcome = "answered " + answer[:30].decode(errors="replace")
                elif b"gatewarden_" not in answer:
                    outcome = "without the relay's figures"
        except socket.timeout:
            outcome = "no answer"
        except OSError as e:
            outcome = f"failed ({e.strerror})"
        scrapes.append([round(moment - p["start"], 1), round(now() - began, 4), outcome])

    threads = []
    moments = p.get("moments") or [p["start"] + i * p["every"] for i in range(int((p["until"] - p["start"]) / p["every"]))]
    for moment in moments:
        sleep_until(moment)
        threads.append(threading.Thread(target=scrape, args=(moment,)))
        threads[-1].start()
    for thread in threads:
        thread.join()
    emit({"scrapes": sorted(scrapes)})


def role_admin(p):
    """`create` with the right password at the given moments; every reply noted."""
    replies = []
    for index, moment in enumerate(p["moments"]):
        sleep_until(moment)
        reply = "no connection"
        # From the given addresses in turn, or from the players' own.
        source = (p["sources"][index % len(p["sources"])], 0) if p.get("sources") else None
        try:
            with socket.create_connection((RELAY_PLAYERS, REMOTE), timeout=1.0, source_address=source) as s:
                s.settimeout(2.0)
                s.sendall(b"create|%s|%s:%d" % (PASSWORD.encode(), SERVER.encode(), GAME))
                data = s.recv(4096)
                reply = data.decode(errors="replace").strip() if data else "closed"
        except socket.timeout:
            reply = "no reply"
        except OSError as e:
            reply = f"no connection ({e.strerror})"
        replies.append([round(moment - p["start"], 1), reply])
    emit({"replies": replies})


def role_stranger(p):
    """One datagram to each of the ports at each of the moments; the replies that come back
    before the next moment (or within a second of the last) counted by round."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((ATTACKER, 0))
    sent, rounds = 0, []

    def replies_until(until):
        taken = 0
        while now() < until:
            s.settimeout(max(0.001, until - now()))
            try:
                s.recv(4096)
                taken += 1
            except socket.timeout:
                break
            except OSError:
                continue     # a refusal the system reported: a tunnel gone
        return taken

    moments = p["moments"]
    for i, moment in enumerate(moments):
        sleep_until(moment)
        for port in p["ports"]:
            s.sendto(b"JUNK", (RELAY_ATTACKER, port))
            sent += 1
        answered = replies_until(moments[i + 1] if i + 1 < len(moments) else now() + 1.0)
        rounds.append([round(moment - p["start"], 1), len(p["ports"]), answered])
    emit({"sent": sent, "rounds": rounds})


# --- roles of the query-port scenarios ------------------------------------------------------

def status_reply(query_id):
    """A UT server's `\\status\\` reply, some 2,000 bytes: the server's keys, then its players'."""
    keys = [("gamename", "ut"), ("gamever", "451"), ("minnetver", "432"), ("location", "0"),
            ("hostname", "Gatewarden bench | DM all day | fast maps"), ("hostport", str(GAME)),
            ("maptitle", "Deck16]["), ("mapname", "DM-Deck16]["), ("gametype", "DeathMatchPlus"),
            ("numplayers", "12"), ("maxplayers", "16"), ("gamemode", "openplaying"),
            ("worldlog", "false"), ("wantworldlog", "false"), ("mutators", "NoRedeemer, InstaGib"),
            ("listenserver", "False"), ("password", "False"), ("timelimit", "20"), ("fraglimit", "30"),
            ("minplayers", "0"), ("changelevels", "True"), ("tournament", "False"), ("gamestyle", "Hardcore"),
            ("botskill", "Skilled"), ("AdminName", "bench"), ("AdminEMail", "bench@example.org")]
    for i in range(12):
        keys += [(f"player_{i}", f"Player{i:02d}"), (f"frags_{i}", str(3 * i)), (f"ping_{i}", str(40 + i)),
                 (f"team_{i}", "0"), (f"mesh_{i}", "Male Commando"), (f"skin_{i}", "CommandoSkins.cmdo"),
                 (f"face_{i}", "CommandoSkins.Blake")]
    text = "".join(f"\\{key}\\{value}" for key, value in keys)
    return (text + f"\\final\\\\queryid\\{query_id}.1").encode()


def echo_value(data):
    """The value of `\\echo\\` in a datagram, None without one."""
    at = data.find(b"\\echo\\")
    if at < 0:
        return None
    value = data[at + 6:]
    end = value.find(b"\\")
    return value if end < 0 else value[:end]


def echo_reply(value, query_id):
    return b"\\echo\\" + value + b"\\final\\\\queryid\\%d.1" % query_id


def query_reply(data, query_id):
    """What a UT server answers: `\\echo\\X` wherever it stands (a reply-shaped datagram holds
    one too), and the status queries; nothing to anything else."""
    value = echo_value(data)
    if value is not None:
        return echo_reply(value, query_id)
    if any(query in data for query in STATUS_QUERIES):
        return status_reply(query_id)
    return None


def per_second_counts(counts):
    """{second: count} as a JSON-friendly dict."""
    return {str(second): count for second, count in sorted(counts.items())}


def role_query_server(p):
    """The game server's query port (7778): answers as a UT server does; counts the query bytes
    it takes and the reply bytes it sends, and the datagrams a second per source address from
    `epoch` on."""
    s, stop = serving(SERVER, SERVER_QUERY, 8 << 20)
    drops_before = udp_receive_errors()
    queries = query_bytes = replies = reply_bytes = query_id = 0
    per_source = collections.defaultdict(collections.Counter)
    while not stop.is_set() and now() < p["until"]:
        try:
            data, source = s.recvfrom(65536)
        except socket.timeout:
            continue
        queries += 1
        query_bytes += len(data)
        per_source[source[0]][int((now() - p["epoch"]) // 1)] += 1
        query_id += 1
        reply = query_reply(data, query_id)
        if reply is not None:
            try:
                s.sendto(reply, source)
                replies += 1
                reply_bytes += len(reply)
            except OSError:
                pass
    emit({"queries": queries, "query_bytes": query_bytes, "replies": replies, "reply_bytes": reply_bytes,
          "per_second": {address: per_second_counts(c) for address, c in per_source.items()},
          "dropped": udp_receive_errors() - drops_before})


def role_victims(p):
    """The victims: one socket takes whatever reaches the victim port at any of their
    addresses (a local route holds them all); counts datagrams, bytes and addresses reached."""
    s, stop = serving("0.0.0.0", VICTIM_PORT, 16 << 20, [(socket.IPPROTO_IP, IP_PKTINFO, 1)])
    drops_before = udp_receive_errors()
    datagrams = payload = 0
    reached, sources = collections.Counter(), collections.Counter()
    while not stop.is_set() and now() < p["until"]:
        try:
            data, ancillary, _, source = s.recvmsg(65536, 256)
        except socket.timeout:
            continue
        datagrams += 1
        payload += len(data)
        sources["%s:%d" % source] += 1
        for level, kind, value in ancillary:
            if level == socket.IPPROTO_IP and kind == IP_PKTINFO:
                # struct in_pktinfo: the interface, the local address, the header's destination.
                reached[socket.inet_ntoa(value[8:12])] += 1
    emit({"datagrams": datagrams, "payload": payload, "addresses": len(reached), "sources": dict(sources),
          "dropped": udp_receive_errors() - drops_before})


def role_browser(p):
    """A server browser on an address of its own, from one port: first `BROWSER_BURST`
    `\\status\\` at once (answers counted for a second), then one every BROWSER_EVERY from
    `start` until `until`, each answered when a reply comes within BROWSER_WAIT (replies are
    taken in order: one relay, one server)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((p.get("address", BROWSER), 0))
    relay = (p.get("relay", RELAY_PLAYERS), QUERY)

    def receive(until):
        s.settimeout(max(0.001, until - now()))
        try:
            data = s.recv(65536)
        except (socket.timeout, OSError):
            return None
        return data if b"\\final\\" in data else None

    sleep_until(p["burst_at"])
    for _ in range(BROWSER_BURST):
        s.sendto(b"\\status\\", relay)
    burst_answered, burst_end = 0, now() + BROWSER_WAIT
    while now() < burst_end:
        if receive(burst_end) is not None:
            burst_answered += 1
    pending, waits, sent, late = collections.deque(), [], 0, 0
    next_query = p["start"]
    while True:
        moment = now()
        if moment >= p["until"] and not pending:
            break
        if moment >= next_query and moment < p["until"]:
            s.sendto(b"\\status\\", relay)
            pending.append(moment)
            sent += 1
            next_query += BROWSER_EVERY
        while pending and now() - pending[0] > BROWSER_WAIT:
            pending.popleft()
        wake = min(next_query if next_query < p["until"] else float("inf"),
                   pending[0] + BROWSER_WAIT if pending else float("inf"))
        if wake == float("inf"):
            break
        if receive(wake) is None:
            continue
        arrived = now()
        while pending and arrived - pending[0] > BROWSER_WAIT:
            pending.popleft()
        if pending:
            waits.append(arrived - pending.popleft())
        else:
            late += 1
    emit({"burst": BROWSER_BURST, "burst_answered": burst_answered, "sent": sent, "answered": len(waits),
          "late": late, "wait_p50": percentile(waits, 0.5), "wait_worst": max(waits, default=None)})


def role_refresh(p):
    """Refreshes of every server of the relay: at each round's moment, each of its browsers (an
    address of the browsers' /24 each, one port each) sends `\\status\\` to every query port at
    once, again REFRESH_RETRY later to those that have not answered (as quakestat retries), and
    waits REFRESH_WAIT in all; a query is answered when a reply comes from its port. Answers
    to the first sending are counted apart."""
    results = []
    for at, count in p["rounds"]:
        sleep_until(at)
        sockets = []
        for i in range(count):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind((ipv4(REFRESH_NET + 1 + i), 0))
            s.setblocking(False)
            sockets.append(s)
        for s in sockets:
            for port in p["ports"]:
                s.sendto(b"\\status\\", (RELAY_PLAYERS, port))
        answered, first, retry_at, until = set(), 0, now() + REFRESH_RETRY, now() + REFRESH_WAIT
        selector = selectors.DefaultSelector()
        for s in sockets:
            selector.register(s, selectors.EVENT_READ)
        while now() < until:
            if retry_at is not None and now() >= retry_at:
                first, retry_at = len(answered), None
                for s in sockets:
                    for port in p["ports"]:
                        if (s.getsockname()[1], port) not in answered:
                            s.sendto(b"\\status\\", (RELAY_PLAYERS, port))
            wake = retry_at if retry_at is not None else until
            for key, _ in selector.select(timeout=max(0.001, wake - now())):
                try:
                    data, source = key.fileobj.recvfrom(65536)
                except OSError:
                    continue
                if b"\\final\\" in data:
                    answered.add((key.fileobj.getsockname()[1], source[1]))
        for s in sockets:
            s.close()
        results.append({"browsers": count, "sent": count * len(p["ports"]), "answered": len(answered),
                        "first": first})
    emit({"rounds": results})


def role_forge_query(p):
    """Queries to the relay's query port from forged sources (`sources`, [address, port]
    each, or else the `forged_count` forged sources from number `forged_from` on, in turn),
    through a raw socket: `rate` a second from `start` until `until`, or once at `start`."""
    raw = gwtest.raw_socket()
    payload = p["payload"].encode("latin-1")
    sources = p.get("sources") or [(ipv4(address), port) for address, port in
                                   map(forged_source, range(p["forged_from"], p["forged_from"] + p["forged_count"]))]
    packets = [gwtest.forged((address, port), (RELAY_ATTACKER, QUERY), payload) for address, port in sources]
    target = (RELAY_ATTACKER, 0)
    sent = failed = 0
    if p["once"]:
        sleep_until(p["start"])
        raw.sendto(packets[0], target)
        sent = 1
    else:
        for count in paced(p["rate"], p["start"], p["until"]):
            for _ in range(count):
                try:
                    raw.sendto(packets[sent % len(packets)], target)
                    sent += 1
                except OSError:
                    failed += 1
                    break
    emit({"sent": sent, "failed": failed, "payload_bytes": sent * len(payload),
          "ip_bytes": sent * (20 + 8 + len(payload))})


def role_third_party(p):
    """Another UT server's query port, a naive one: whatever arrives is a query, answered
    with an echo-shaped reply; datagrams counted a second from `epoch` on."""
    s, stop = serving(THIRD, THIRD_QUERY)
    per_second, query_id, taken = collections.Counter(), 0, 0
    while not stop.is_set() and now() < p["until"]:
        try:
            data, source = s.recvfrom(65536)
        except socket.timeout:
            continue
        taken += 1
        per_second[int((now() - p["epoch"]) // 1)] += 1
        query_id += 1
        try:
            s.sendto(echo_reply(echo_value(data) or b"x", query_id), source)
        except OSError:
            pass
    emit({"datagrams": taken, "per_second": per_second_counts(per_second)})


def role_share_victim(p):
    """share's victim: at each moment of `tries`, a new port of its address sends to the game
    port every NEWCOMER_RESEND until answered, for NEWCOMER_GIVES_UP at most."""
    relay = (RELAY_PLAYERS, TUNNEL)
    selector = selectors.DefaultSelector()
    tries = [{"at": moment, "next": moment, "sock": None, "wait": None, "port": None, "over": False}
             for moment in p["tries"]]
    end = p["tries"][-1] + NEWCOMER_GIVES_UP + 0.1
    while now() < end and not all(t["over"] for t in tries):
        moment = now()
        for index, t in enumerate(tries):
            if t["over"] or moment < t["at"]:
                continue
            if t["sock"] is None:
                t["sock"] = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                t["sock"].bind((p["address"], 0))
                t["sock"].setblocking(False)
                t["port"] = t["sock"].getsockname()[1]
                selector.register(t["sock"], selectors.EVENT_READ, index)
            if moment - t["at"] > NEWCOMER_GIVES_UP:
                t["over"] = True
            elif moment >= t["next"]:
                t["sock"].sendto(b"Pshare%d" % index, relay)
                t["next"] += NEWCOMER_RESEND
            if t["over"]:
                selector.unregister(t["sock"])
                t["sock"].close()
        for key, _ in selector.select(timeout=0.005):
            t = tries[key.data]
            try:
                key.fileobj.recv(4096)
            except OSError:
                continue
            t["wait"], t["over"] = now() - t["at"], True
            selector.unregister(key.fileobj)
            key.fileobj.close()
    emit({"waits": [t["wait"] for t in tries], "ports": [t["port"] for t in tries]})


ROLES_QUERY = {"query_server": role_query_server, "victims": role_victims, "browser": role_browser,
               "refresh": role_refresh,
               "forge_query": role_forge_query, "third_party": role_third_party,
               "share_victim": role_share_victim}


# --- the carried scenario: tens of thousands of relays in the kernel's table ----------------
# The crowd comes in below the pace of new trials and below the count of new sources a second
# that the tunnel takes for a flood (TAdmissionLimits::kFloodPerSecond, 1,024), so that
# neither turns a member away; 30,000 take half a minute.
CARRIED_PACE = 1000
# A relay takes at most 128 relays per client address and tunnel: the crowd puts 100 on each.
CARRIED_PER_ADDRESS = 100
# A member sends every 100 ms for its first 2.5 s, as a client does on joining: it is
# answered, then established (1 s after the answer, 10 datagrams and 2 answers, counted by
# the kernel's reading once a second), before the 4,096 answered relays not established
# make room for one another. Then it keeps its relay with a datagram every 1.5 s: within the
# kernel's lease of 2 s after the sockets last saw it, so every other datagram is carried by
# the kernel and the next goes up and renews the lease, and far within the 12 s a silent
# relay lives.
CARRIED_FIRST_EVERY, CARRIED_FIRST_FOR, CARRIED_KEEP_EVERY = 0.1, 2.5, 1.5
# Players elsewhere do not wait for a processor together: once in, a crowd process held up
# sends what fell due meanwhile at most this much faster than its mean, rather than all at
# once, which would queue thousands of datagrams at the relay's sockets in a moment.
CARRIED_SMOOTH = 1.5
# New members a crowd process starts at once after being held up.
CARRIED_STARTS_BURST = 10
# The crowd is in once every member has been answered, or this long after its last one
# started; then the last ones get established before anything is measured.
CARRIED_IN_WITHIN, CARRIED_SETTLE = 20.0, 5.0
# The query port's budgets are 4 a second per address and per /24, with a burst of 10 and
# 16: 25 browsers, each on an address of its own /24, each querying 4 times a second, 10 ms
# apart from one another, stay within every budget and meet a stall of 10 ms or more as the
# player does.
CARRIED_BROWSERS, CARRIED_QUERY_EVERY = 25, 0.25
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)   # Linux; Python names it from 3.12 on
CARRIED_WARM_UP = 3.0    # the probe's player gets established before the measurement
# Upstream ports for 30,000 relays and more: the usual ephemeral range holds 28,232.
CARRIED_PORT_RANGE = "10000-65535"
# The relay's descriptors beside its relays': the metrics endpoint's 545 at most
# (TMetricsEndpoint::kMostDescriptors), the sockets' reserve of 64, listeners, the log and
# the kernel's objects.
CARRIED_SPARE_DESCRIPTORS = 1000
# Members a crowd process holds: each socket is a descriptor, and a process without
# CAP_SYS_RESOURCE cannot raise its hard limit (20,000 here).
CARRIED_PER_PROCESS = 10000


def crowd_address(index):
    """The address of the crowd's index-th member."""
    return spread_address(CROWD_NET, index // CARRIED_PER_ADDRESS)


def carried_browser_address(index):
    # Each in a /24 of its own, above the crowd's and the other scenarios' /24s.
    return spread_address(CROWD_NET, 254 * (220 + index))


def role_carried_crowd(p):
    """The `part`-th of `parts` parts of the crowd: every parts-th player from the part-th on,
    `count` in all, the whole crowd coming in at `pace` a second from `start`, each from a
    socket of its own (CARRIED_PER_ADDRESS to an address), keeping its relay until SIGTERM or
    `until`. Prints "in N" once every member has been answered, or at `in_by`; counts what it
    sends each hundredth of a second from `start`."""
    os.nice(10)      # the crowd stands for players elsewhere: it yields the relay's processors
    count, part, parts = p["count"], p["part"], p["parts"]
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    relay = (RELAY_PLAYERS, TUNNEL)
    selector = selectors.DefaultSelector()
    socks, first, answered_at, last_answer = [None] * count, [0.0] * count, [None] * count, [0.0] * count
    # Starts in order: the list is a heap of (when due, member) as it stands.
    due = [(p["start"] + (part + i * parts) / p["pace"], i) for i in range(count)]
    sent = failed = answers = answered = started = 0
    sent_per_hundredth = collections.Counter()
    told = False
    # Newcomers never come faster than this part's share of the pace, even after this process
    # was held up: a second with more than the flood's count would have the kernel turn
    # newcomers away.
    share = p["pace"] / parts
    starts, starts_refilled = 0.0, p["start"]
    # Once every member is in, what fell due while the process was held up goes out smoothly.
    in_at, cap = float("inf"), CARRIED_SMOOTH * count / CARRIED_KEEP_EVERY
    tokens, refilled = 0.0, 0.0
    while not stop.is_set() and now() < p["until"]:
        moment = now()
        starts = min(CARRIED_STARTS_BURST, starts + (moment - starts_refilled) * share)
        starts_refilled = moment
        if moment >= in_at:
            tokens = min(cap * 0.01, tokens + (moment - max(refilled, in_at)) * cap)
            refilled = moment
        while due and due[0][0] <= moment and (moment < in_at or tokens >= 1):
            at, i = heapq.heappop(due)
            if socks[i] is None and starts < 1:
                heapq.heappush(due, (moment + 1 / share, i))
                continue
            if moment >= in_at:
                tokens -= 1
            if socks[i] is None:
                starts -= 1
                started += 1
                if started == count:
                    in_at = moment + CARRIED_FIRST_FOR
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                s.bind((crowd_address(part + i * parts), 0))
                s.setblocking(False)
                selector.register(s, selectors.EVENT_READ, i)
                socks[i], first[i] = s, at
            try:
                socks[i].sendto(b"Pcrowd", relay)
                sent += 1
                sent_per_hundredth[int((moment - p["start"]) * 100)] += 1
            except OSError:
                failed += 1
            joining = answered_at[i] is None or at - first[i] < CARRIED_FIRST_FOR
            heapq.heappush(due, (at + (CARRIED_FIRST_EVERY if joining else CARRIED_KEEP_EVERY), i))
        if not told and (answered == count or moment >= p["in_by"]):
            print(f"in {answered}", flush=True)
            told = True
        wait = min(due[0][0] if due else p["until"], p["until"], moment + (0.001 if tokens < 1 else 0.05)) - now()
        for key, _ in selector.select(timeout=max(0.0, wait)):
            try:
                key.fileobj.recv(256)
            except OSError:
                continue
            i, arrived = key.data, now()
            answers += 1
            last_answer[i] = arrived
            if answered_at[i] is None:
                answered_at[i] = arrived
                answered += 1
    if not told:
        print(f"in {answered}", flush=True)
    end = now()
    waits = [round(answered_at[i] - first[i], 5) for i in range(count) if answered_at[i] is not None]
    emit({"count": count, "started": sum(1 for s in socks if s is not None), "answered": answered,
          "answered_last_3s": sum(1 for t in last_answer if t > end - 3.0), "sent": sent, "failed": failed,
          "answers": answers, "waits": waits, "sent_per_hundredth": sent_per_hundredth,
          "never_answered": ["%s:%d" % socks[i].getsockname() for i in range(count)
                             if answered_at[i] is None and socks[i] is not None][:20]})


def role_carried_probe(p):
    """The established player, sending every PLAYER_EVERY, and CARRIED_BROWSERS browsers, each
    sending `\\echo\\N` to the query port every CARRIED_QUERY_EVERY from a port of its own, from
    `start` until `until`; each round trip with when it was sent, summed up for each part
    of `parts` ([name, from, to]). A round trip ends when the system took the answer in (its
    receive timestamp), so that this process's own wait for a processor is not counted."""
    selector = selectors.DefaultSelector()

    def open_socket(address, kind):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        s.bind((address, 0))
        s.setblocking(False)
        selector.register(s, selectors.EVENT_READ, kind)
        return s

    player = open_socket(PLAYERS, "player")
    browsers = [open_socket(carried_browser_address(b), "query") for b in range(CARRIED_BROWSERS)]
    # Sent, by kind and number: when; and the round trips, as (sent at, time).
    pending = {"player": {}, "query": {}}
    trips = {"player": [], "query": []}
    sent = {"player": [], "query": []}
    start = p["start"]
    next_player, sequence, late = start, 0, []
    next_query = [start + b * CARRIED_QUERY_EVERY / CARRIED_BROWSERS for b in range(CARRIED_BROWSERS)]
    while now() < p["until"]:
        moment = now()
        if moment >= next_player:
            # How late this process itself was: a machine too busy to run it shows here.
            late.append((moment, moment - next_player))
            pending["player"][sequence] = (moment, time.time())
            sent["player"].append(moment)
            player.sendto(b"P%d" % sequence, (RELAY_PLAYERS, TUNNEL))
            sequence += 1
            next_player = max(next_player + PLAYER_EVERY, moment - PLAYER_EVERY)
        for b, s in enumerate(browsers):
            if moment >= next_query[b]:
                pending["query"][sequence] = (moment, time.time())
                sent["query"].append(moment)
                s.sendto(b"\\echo\\%d" % sequence, (RELAY_PLAYERS, QUERY))
                sequence += 1
                next_query[b] = max(next_query[b] + CARRIED_QUERY_EVERY, moment)
        wake = min([next_player] + next_query)
        for key, _ in selector.select(timeout=max(0.0, min(wake, moment + 0.005) - now())):
            try:
                data, ancillary, _, _ = key.fileobj.recvmsg(4096, socket.CMSG_SPACE(16))
            except OSError:
                continue
            arrived = time.time()
            for level, kind, value in ancillary:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                    seconds, nanoseconds = struct.unpack("qq", value[:16])
                    arrived = seconds + nanoseconds / 1e9
            number = data[1:] if key.data == "player" else echo_value(data)
            try:
                started, wall = pending[key.data].pop(int(number))
            except (KeyError, ValueError, TypeError):
                continue
            trips[key.data].append((started, arrived - wall))
    parts = {}
    for name, begin, end in p["parts"]:
        parts[name] = {"probe_late": max((t for at, t in late if begin <= at < end), default=0.0)}
        for kind in ("player", "query"):
            times = [t for at, t in trips[kind] if begin <= at < end]
            count = sum(1 for at in sent[kind] if begin <= at < end)
            parts[name][kind] = {"sent": count, "lost": count - len(times), "p50": percentile(times, 0.5),
                                 "p99": percentile(times, 0.99), "worst": max(times, default=None)}
    emit({"parts": parts})


CARRIED_FIGURES = ("gatewarden_relays", "gatewarden_relays_answered_total", "gatewarden_relays_established_total")


def role_carried_census(p):
    """One scrape of the relay's metrics: the relays it holds, answered and established (every
    series of each summed), and those closed, by reason."""
    began = now()
    with socket.create_connection((RELAY_ATTACKER, METRICS), timeout=SCRAPE_GIVES_UP) as s:
        s.sendall(b"GET /metrics HTTP/1.1\r\nHost: relay\r\nConnection: close\r\n\r\n")
        answer = b""
        while data := s.recv(65536):
            answer += data
    figures = {name: 0 for name in CARRIED_FIGURES}
    # Families by cause: the label that names it.
    causes = {"gatewarden_relays_closed_total": ("closed", "reason"), "gatewarden_clients_refused_total": ("refused", "cause"),
              "gatewarden_datagrams_dropped_total": ("dropped", "cause")}
    by_cause = {short: collections.Counter() for short, _ in causes.values()}
    for line in answer.decode(errors="replace").splitlines():
        name, _, value = line.partition("{")
        if name in figures:
            figures[name] += float(value.rsplit(" ", 1)[1])
        elif name in causes:
            short, label = causes[name]
            by_cause[short][value.split(f'{label}="', 1)[1].split('"', 1)[0]] += float(value.rsplit(" ", 1)[1])
    for short, counts in by_cause.items():
        figures[short] = {cause: n for cause, n in counts.items() if n}
    figures["took"] = now() - began
    emit(figures)


ROLES_CARRIED = {"carried_crowd": role_carried_crowd, "carried_probe": role_carried_probe,
                 "carried_census": role_carried_census}


ROLES = {"server": role_server, "players": role_players, "forge": role_forge, "bypass": role_bypass, "icmp": role_icmp,
         "guess": role_guess, "silent": role_silent, "hog": role_hog, "slowloris": role_slowloris,
         "scraper": role_scraper, "admin": role_admin, "stranger": role_stranger, "blind": role_blind}
ROLES.update(ROLES_QUERY)
ROLES.update(ROLES_CARRIED)
ROLES.update({"silent_dns": role_silent_dns, "lookup_player": role_lookup_player})



# --- gameloop and route: a loop through the game port, and the server's route moving -------
#   echo    10.99.10.2 ---- 10.99.10.1 relay; an echo service, UDP 7 (gameloop)
#   relayb  10.99.9.2  ---- 10.99.9.1  relay; a second relay of ours (gameloop --between-relays)
#   server  10.99.12.2 ---- 10.99.12.1 relay; a second link to the game server (route)
OWN_SCENARIOS = ("gameloop", "route")
ECHO_HOST, RELAY_ECHO, ECHO_PORT = "10.99.10.2", "10.99.10.1", 7
SERVER_B, RELAY_SERVER_B = "10.99.12.2", "10.99.12.1"
ROUTE_PLAYER_PORT, ROUTE_PLAYER_EVERY = 40404, 1 / 30
# route: datagrams of 4 bytes whose UDP header claims 2,900, forged from the route player's
# address and port, a second, all along the run.
WRONG_LENGTH_PAYLOAD, WRONG_LENGTH_CLAIMED, WRONG_LENGTH_RATE = 4, 2900, 200


def role_echo_service(p):
    """An echo service (RFC 862) on UDP 7: whatever arrives goes back to its source."""
    s, stop = serving(ECHO_HOST, ECHO_PORT)
    echoed = 0
    while not stop.is_set() and now() < p["until"]:
        try:
            data, source = s.recvfrom(65536)
            s.sendto(data, source)
            echoed += 1
        except socket.timeout:
            continue
        except OSError:
            pass
    emit({"echoed": echoed})


def role_forge_game(p):
    """Forged datagrams to the relay's game port through a raw socket: one 4-byte datagram from
    `source` at `start` (gameloop); or, with `rate`, datagrams of 4 bytes whose UDP length
    claims 2,900 more, from `start` until `until` (route)."""
    raw = gwtest.raw_socket()
    destination = (p["to"], TUNNEL)
    if not p.get("rate"):
        sleep_until(p["start"])
        raw.sendto(gwtest.forged(tuple(p["source"]), destination, b"loop"), (p["to"], 0))
        emit({"sent": 1})
        return
    packet = gwtest.ip_header(p["source"][0], p["to"]) + struct.pack(
        "!HHHH", p["source"][1], TUNNEL, 8 + WRONG_LENGTH_CLAIMED, 0) + b"x" * WRONG_LENGTH_PAYLOAD
    sent = 0
    for count in paced(p["rate"], p["start"], p["until"]):
        for _ in range(count):
            raw.sendto(packet, (p["to"], 0))
            sent += 1
    emit({"sent": sent, "claimed_bytes": sent * WRONG_LENGTH_CLAIMED})


def role_route_player(p):
    """A player at 30 datagrams a second from ROUTE_PLAYER_PORT from `start` until `until`; a
    datagram is lost when no echo came by the end (a second later)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((PLAYERS, ROUTE_PLAYER_PORT))
    s.settimeout(0.005)
    sent, answered, sequence, next_send = {}, set(), 0, p["start"]
    while now() < p["until"] + 1.0:
        if now() >= next_send and next_send < p["until"]:
            sent[sequence] = now()
            s.sendto(b"Proute%d" % sequence, (RELAY_PLAYERS, TUNNEL))
            sequence += 1
            next_send += ROUTE_PLAYER_EVERY
        try:
            data = s.recv(65536)
            if data.startswith(b"Proute"):
                answered.add(int(data[6:]))
        except (socket.timeout, ValueError):
            pass
    lost = sorted(sent[n] - p["move"] for n in sent if n not in answered)
    emit({"sent": len(sent), "lost": len(lost), "lost_from": lost[0] if lost else None,
          "lost_until": lost[-1] if lost else None, "payload_bytes": sum(len(b"Proute%d" % n) for n in sent)})


def role_metrics_once(p):
    """The relay's bytes relayed towards its server, from its metrics endpoint at `at`."""
    sleep_until(p["at"])
    with socket.create_connection((RELAY_ATTACKER, METRICS), timeout=SCRAPE_GIVES_UP) as s:
        s.sendall(b"GET /metrics HTTP/1.1\r\nHost: relay\r\nConnection: close\r\n\r\n")
        answer = b""
        while data := s.recv(65536):
            answer += data
    found = re.findall(rb'^gatewarden_bytes_total\{[^}]*direction="to_server"[^}]*\} (\S+)', answer, re.M)
    emit({"to_server_bytes": sum(float(v) for v in found) if found else None})


ROLES_OWN = {"echo_service": role_echo_service, "forge_game": role_forge_game, "route_player": role_route_player,
             "metrics_once": role_metrics_once}
ROLES.update(ROLES_OWN)


def build_own_lab(lab, args):
    """The namespaces and links of gameloop and route, made before the relay starts (the
    kernel's program is attached to the interfaces there are then)."""
    state = {}
    # Forged sources, and a route back that is not the way in: no reverse-path filter drops them.
    for ns in ("relay", "server"):
        lab.sysctl(ns, "net.ipv4.conf.all.rp_filter", "0")
        lab.sysctl(ns, "net.ipv4.conf.default.rp_filter", "0")
    lab.sysctl("relay", f"net.ipv4.conf.gwar{lab.tag}.rp_filter", "0")
    if args.scenario == "route":
        state["link_a"] = f"gwsr{lab.tag}"
        lab.veth("server", f"gwS{lab.tag}", SERVER_B + "/24", "relay", f"gwSr{lab.tag}", RELAY_SERVER_B + "/24")
        state["link_b"] = f"gwSr{lab.tag}"
        for device in (f"gwsr{lab.tag}", state["link_b"]):
            lab.sysctl("relay", f"net.ipv4.conf.{device}.rp_filter", "0")
        for device in (f"gws{lab.tag}", f"gwS{lab.tag}"):
            lab.sysctl("server", f"net.ipv4.conf.{device}.rp_filter", "0")
    elif args.between_relays:
        add_relay_b(lab)
    else:
        lab.add_neighbour("echo", "e", ECHO_HOST, RELAY_ECHO)
    return state


def move_route(lab, state):
    """The game server's route moves to the second link, and the first goes dark (its next hop
    gone, as a failed gateway's: its frames go to a link address nobody holds)."""
    lab.ip("route", "add", SERVER + "/32", "via", SERVER_B, "dev", state["link_b"], ns="relay")
    lab.ip("neigh", "replace", SERVER, "lladdr", "02:00:00:00:00:01", "dev", state["link_a"], "nud", "permanent",
           ns="relay")


def start_own(lab, args, state, attack_start, attack_end, end):
    roles = {}
    if args.scenario == "route":
        move = attack_start + args.seconds / 2
        state["mover"] = threading.Timer(move - now(), move_route, (lab, state))
        state["mover"].start()
        roles["route_player"] = lab.role("players", "route_player", start=attack_start, until=attack_end, move=move)
        roles["forge_game"] = lab.role("attacker", "forge_game", source=[PLAYERS, ROUTE_PLAYER_PORT], to=RELAY_PLAYERS,
                                       rate=WRONG_LENGTH_RATE, start=attack_start, until=attack_end)
        roles["metrics"] = lab.role("attacker", "metrics_once", at=attack_end + 1.5)
        return roles
    if args.between_relays:
        start_relay_b(lab, args, state)
        source = [RELAY_B, TUNNEL]
    else:
        echo = lab.role("echo", "echo_service", until=end)
        if echo.stdout.readline().strip() != "ready":
            raise RuntimeError("the echo service did not start")
        roles["echo"] = echo
        source = [ECHO_HOST, ECHO_PORT]
    roles["forge_game"] = lab.role("attacker", "forge_game", source=source, to=RELAY_ATTACKER, start=attack_start)
    return roles


def finish_own(lab, args, state, figures):
    if "mover" in state:
        state["mover"].join()
    if "relay_b" in state:
        figures["relay_b_running"] = state["relay_b"].poll() is None
        with open(state["relay_b_log"], "rb") as f:
            figures["relay_b_log"] = f.read().decode(errors="replace")


def report_game_loop(args, figures, check):
    sv, start = figures["server"], figures["alone"][1]
    # Each tenth by its end, from the forged datagram's on: the one it was sent in counts. The
    # loop's length runs from its first tenth at the server to its last: a stalled machine may
    # start it late.
    tenths = {int(k) / 10 + 0.1 - start: n for k, n in sv["junk_tenths"].items()}
    seconds = [sum(n for t, n in tenths.items() if s < t <= s + 1) for s in range(int(args.seconds + TAIL))]
    looped = [t for t in tenths if t > 0]
    length = max(looped) - min(looped) + 0.1 if looped else None
    source = f"relay B's game port {RELAY_B}:{TUNNEL}" if args.between_relays else f"an echo service {ECHO_HOST}:7"
    print(f"loop: one forged 4-byte datagram from {source} to the relay's game port at 0 s; the game server "
          f"answers every datagram")
    print(f"datagrams of the loop at the game server: {sv['junk']} in all; a second: {seconds}")
    print("the loop at the server: " + ("none" if length is None else
                                        f"from {min(looped) - 0.1:.1f} s to {max(looped):.1f} s, {length:.1f} s long"))
    if args.between_relays:
        print(f"relay B: {'ran throughout' if figures['relay_b_running'] else 'ENDED during the run'}; "
              + "; ".join(l for l in figures["relay_b_log"].splitlines() if "a loop" in l))
    for line in figures["log"].splitlines():
        if "a loop" in line or "service's port" in line:
            print("relay: " + line)
    limit = LIMITS["game_loop_seconds"]
    check(length is None or length <= limit,
          f"the loop lasts at most {limit} s at the server: " + ("never began" if length is None else f"{length:.1f} s"))


def report_route(args, figures, check):
    rp, fg, sv, mt = figures["route_player"], figures["forge_game"], figures["server"], figures["metrics"]
    lost_span = "" if rp["lost_from"] is None else f" (from {rp['lost_from']:+.2f} s to {rp['lost_until']:+.2f} s of the move)"
    print(f"route: the game server's route moves to a second link at {args.seconds / 2:.0f} s of the run, the first "
          f"going dark; player at 30 a second: {rp['lost']} of {rp['sent']} lost{lost_span}")
    phantom = None if mt["to_server_bytes"] is None else mt["to_server_bytes"] - sv["received_bytes"]
    print(f"wrong UDP lengths: {fg['sent']} datagrams of {WRONG_LENGTH_PAYLOAD} bytes claiming {WRONG_LENGTH_CLAIMED} "
          f"({fg['claimed_bytes']} bytes claimed); the metrics' bytes towards the server {mt['to_server_bytes']}, "
          f"the server took {sv['received_bytes']}: {phantom} more in the metrics")
    limit = LIMITS["route_lost"]
    check(rp["lost"] <= limit * 30, f"a moved route costs the player under {limit} s: {rp['lost']} datagrams lost "
          f"of 30 a second")
    check(phantom is not None and phantom <= LIMITS["phantom_bytes"],
          f"the metrics count at most {LIMITS['phantom_bytes']} bytes more than reached the server: {phantom}")


# --- the laboratory: namespaces, the relay and the roles, all removed on any exit ---------

class Lab(gwtest.Namespaces):
    def __init__(self):
        super().__init__("gw-na")
        self.processes = []
        self.folder = tempfile.mkdtemp(prefix="gw-netns-")

    def build(self):
        self.add("relay")
        for name, address, relay_address in (("players", PLAYERS, RELAY_PLAYERS), ("attacker", ATTACKER, RELAY_ATTACKER),
                                             ("server", SERVER, RELAY_SERVER)):
            self.add_neighbour(name, name[0], address, relay_address)
        self.ip("route", "add", ipv4(FORGED_NET) + "/9", "via", ATTACKER, ns="relay")
        self.ip("route", "add", OWNED_NET, "via", ATTACKER, ns="relay")
        self.ip("route", "add", "local", OWNED_NET, "dev", "lo", ns="attacker")
        self.ip("route", "add", CROWD_NET, "via", PLAYERS, ns="relay")
        self.ip("route", "add", "local", CROWD_NET, "dev", "lo", ns="players")

    def add_neighbour(self, name, code, address, relay_address):
        """One more namespace, joined to the relay's by a veth pair (`gw{code}...`) and routed
        through it; returns its end of the pair."""
        self.add(name)
        outer = f"gw{code}{self.tag}"
        self.veth(name, outer, address + "/24", "relay", f"gw{code}r{self.tag}", relay_address + "/24")
        self.ip("route", "add", "default", "via", relay_address, ns=name)
        return outer

    def read(self, ns, path):
        """A file of /proc as a namespace sees it."""
        return subprocess.run(self.enter(ns) + ["cat", path], capture_output=True, text=True, check=True).stdout

    def sysctl(self, ns, name, value=None):
        path = "/proc/sys/" + name.replace(".", "/")
        if value:
            subprocess.run(self.enter(ns) + ["sh", "-c", f'echo "{value}" >{path}'], check=True)
        return self.read(ns, path).strip()

    def snmp(self, ns, group, field):
        return snmp_field(self.read(ns, "/proc/net/snmp"), group, field)

    def role(self, ns, role, **params):
        # The attacker would not share the relay's processors in earnest: here it yields them.
        nice = ["nice", "-n", "10"] if ns == "attacker" else []
        process = subprocess.Popen(self.enter(ns) + nice + [sys.executable, SELF, "--role", role, json.dumps(params)],
                                   stdout=subprocess.PIPE, text=True)
        self.processes.append(process)
        return process

    def start_relay(self, binary, settings, nofile=None, ns="relay", name="relay"):
        """A relay in namespace `ns`, up once its tunnel is open (and, with FastPath=1, once it
        has told of its fast path); returns it."""
        ready = ("Tunnel open on",) + (("Fast path o",) if "FastPath=1" in settings else ())
        relay = gwtest.Relay(binary, settings, self.folder, self.enter(ns), nofile, name).start(ready)
        self.processes.append(relay.process)
        return relay

    def keep(self, folder):
        """Copies the relay's log and settings to `folder`, if one is given."""
        if folder:
            os.makedirs(folder, exist_ok=True)
            for name in ("relay.log", "relay.ini"):
                shutil.copy(os.path.join(self.folder, name), folder)

    def close(self):
        for process in self.processes:
            if process.poll() is None:
                process.terminate()
        for process in self.processes:
            try:
                process.wait(3)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        super().close()
        shutil.rmtree(self.folder, ignore_errors=True)


# --- the query-port scenarios' part of the laboratory ----------------------------------------

def link_bytes(lab, ns, device, direction):
    """Bytes a veth sent or took ("tx", "rx"): Ethernet frames, each IP datagram or fragment
    with its 14-byte header."""
    return int(lab.read(ns, f"/sys/class/net/{device}/statistics/{direction}_bytes"))


def victim_addresses(count):
    """`count` addresses of the victims' /24 in turn: .1 for one, every address for 256."""
    return [ipv4(VICTIM_NET + (i + 1) % 256) for i in range(count)]


def add_relay_b(lab):
    """The namespace of a second relay of ours (--between-relays), which reaches the game
    server through the relay's namespace."""
    lab.add_neighbour("relayb", "b", RELAY_B, RELAY_A_FOR_B)
    lab.sysctl("relay", "net.ipv4.ip_forward", "1")


def start_relay_b(lab, args, state):
    """The second relay: the same settings in its namespace, noted in `state`."""
    relay_b = lab.start_relay(args.headless, state["settings"], ns="relayb", name="relay-b")
    state["relay_b"], state["relay_b_log"] = relay_b.process, relay_b.log_path


def build_query_lab(lab, args):
    """The namespaces, routes and settings the query-port scenarios add; returns what the
    scenario's other steps need."""
    state = {"attacker_link": f"gwa{lab.tag}"}
    # Forged sources from the attacker's side name addresses routed elsewhere: no
    # reverse-path filter may drop them, whatever the host's default.
    lab.sysctl("relay", "net.ipv4.conf.all.rp_filter", "0")
    lab.sysctl("relay", f"net.ipv4.conf.gwar{lab.tag}.rp_filter", "0")
    if args.scenario == "share":
        return state
    if args.scenario == "reflect":
        state["victim_link"] = lab.add_neighbour("victims", "v", VICTIM_LINK, RELAY_VICTIM_LINK)
        lab.ip("route", "add", f"{ipv4(VICTIM_NET)}/24", "via", VICTIM_LINK, ns="relay")
        lab.ip("route", "add", "local", f"{ipv4(VICTIM_NET)}/24", "dev", "lo", ns="victims")
    elif args.between_relays:
        add_relay_b(lab)
    else:
        lab.add_neighbour("third", "t", THIRD, RELAY_THIRD)
    return state


def start_query_scenario(lab, args, state, start, attack_start, attack_end, end):
    """The roles of reflect or loop, the game server's query port first; returns them by name."""
    query_server = lab.role("server", "query_server", until=end, epoch=attack_start)
    if query_server.stdout.readline().strip() != "ready":
        raise RuntimeError("the game server's query port did not start")
    roles = {"query_server": query_server}
    if args.scenario == "share":
        roles.update(start_share(lab, args, attack_start, attack_end))
        return roles
    if args.scenario == "mixed":
        roles.update(start_mixed(lab, args, start, attack_start, attack_end))
        return roles
    if args.scenario == "reflect":
        victims = lab.role("victims", "victims", until=end)
        if victims.stdout.readline().strip() != "ready":
            raise RuntimeError("the victims did not start")
        roles["victims"] = victims
        state["before"] = {"attacker": link_bytes(lab, "attacker", state["attacker_link"], "tx"),
                           "victims": link_bytes(lab, "victims", state["victim_link"], "rx")}
        browsing = {"burst_at": start + 0.5, "start": attack_start, "until": attack_end}
        if args.browser == "elsewhere":
            roles["browser"] = lab.role("players", "browser", **browsing)
        else:
            # Another port of an address the forger names, or another address of its /24.
            address = victim_addresses(1)[0] if args.browser == "victim" else ipv4(VICTIM_NET + 250)
            roles["browser"] = lab.role("victims", "browser", address=address, relay=RELAY_VICTIM_LINK, **browsing)
        if args.tunnels > 1:
            ports = [QUERY + 2 * i for i in range(args.tunnels)]
            roles["refresh"] = lab.role("players", "refresh", ports=ports,
                                        rounds=[[attack_start + 2, 1], [attack_start + 5, REFRESH_TOGETHER]])
        # --everywhere: no victims, the attacker's routed-away sources, a new one each query.
        sources = [] if args.everywhere else [[address, VICTIM_PORT] for address in victim_addresses(args.victims)]
        roles["forge_query"] = lab.role("attacker", "forge_query", payload="\\status\\", sources=sources,
                                        forged_from=0, forged_count=EVERYWHERE_SOURCES,
                                        rate=args.rate, once=False, start=attack_start, until=attack_end)
        return roles
    if args.between_relays:
        start_relay_b(lab, args, state)
        source = [RELAY_B, QUERY]
    else:
        third = lab.role("third", "third_party", until=end, epoch=attack_start)
        if third.stdout.readline().strip() != "ready":
            raise RuntimeError("the third party did not start")
        roles["third_party"] = third
        source = [THIRD, THIRD_QUERY]
    roles["forge_query"] = lab.role("attacker", "forge_query", payload="\\echo\\x", sources=[source],
                                    rate=None, once=True, start=attack_start, until=attack_end)
    return roles


def start_share(lab, args, attack_start, attack_end):
    """share's forger, from SHARE_SOURCES ports of the victim's address, and the victim's tries
    at the game port, spread over the attack from its SHARE_FIRST_TRY on."""
    sources = [[SHARE_VICTIM, SHARE_FORGED_PORT + i] for i in range(SHARE_SOURCES)]
    every = min(1.0, (args.seconds - SHARE_FIRST_TRY - 1.0) / SHARE_TRIES)
    tries = [attack_start + SHARE_FIRST_TRY + i * every for i in range(SHARE_TRIES)]
    return {"forge_query": lab.role("attacker", "forge_query", payload="\\status\\", sources=sources,
                                    rate=args.rate, once=False, start=attack_start, until=attack_end),
            "share_victim": lab.role("players", "share_victim", address=SHARE_VICTIM, tries=tries)}


def start_mixed(lab, args, start, attack_start, attack_end):
    """mixed's attackers: the forged game flood, the forged query flood, the slow connections,
    and the scraper on the players' side."""
    window = {"start": attack_start, "until": attack_end}
    return {"forge": lab.role("attacker", "forge", rate=args.rate, repeat=1, again_after=0, **window),
            # Far from the game flood's sources, which count up from 0.
            "forge_query": lab.role("attacker", "forge_query", payload="\\status\\", forged_from=1 << 22,
                                    forged_count=MIXED_QUERY_SOURCES, rate=args.rate, once=False, **window),
            "slowloris": lab.role("attacker", "slowloris", connections=args.slow, start=start, until=attack_end),
            "scraper": lab.role("players", "scraper", start=attack_start, every=args.scrape_every, until=attack_end)}


def finish_query_lab(lab, args, state, figures):
    """The figures read outside the roles, once the attack is over."""
    if args.scenario == "reflect":
        figures["attacker_link_bytes"] = (link_bytes(lab, "attacker", state["attacker_link"], "tx")
                                          - state["before"]["attacker"])
        figures["victim_link_bytes"] = (link_bytes(lab, "victims", state["victim_link"], "rx")
                                        - state["before"]["victims"])
    if "relay_b" in state:
        figures["relay_b_running"] = state["relay_b"].poll() is None
        with open(state["relay_b_log"], "rb") as f:
            figures["relay_b_log"] = f.read().decode(errors="replace")


def result(process, seconds):
    out, _ = process.communicate(timeout=seconds)
    lines = [line for line in out.splitlines() if line.startswith("{")]
    if process.returncode or not lines:
        raise RuntimeError(f"a role failed (status {process.returncode}): {out[-500:]}")
    return json.loads(lines[-1])


class Sampler(threading.Thread):
    """The relay's open descriptors and resident memory, and the datagrams its namespace
    delivered to sockets, sampled throughout."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.running = True
        self.descriptors = []
        self.rss = []
        self.delivered = []  # (moment, count)
        self.samples = []    # (moment, descriptors, resident bytes)

    def run(self):
        while self.running:
            try:
                moment = now()
                descriptors = len(os.listdir(f"/proc/{self.pid}/fd"))
                rss = status_kb(self.pid, "VmRSS") * 1024
                with open(f"/proc/{self.pid}/net/snmp") as f:
                    delivered = snmp_field(f.read(), "Udp", "InDatagrams")
            except (FileNotFoundError, ProcessLookupError):
                return
            self.descriptors.append(descriptors)
            self.rss.append(rss)
            self.delivered.append((moment, delivered))
            self.samples.append((moment, descriptors, rss))
            time.sleep(SAMPLE_EVERY)

    def first_from(self, moment):
        """The first sample at `moment` or later (the last one when none is)."""
        return next((s for s in self.samples if s[0] >= moment), self.samples[-1] if self.samples else None)

    def last_until(self, moment):
        """The last sample at `moment` or earlier (the first one when none is)."""
        return next((s for s in reversed(self.samples) if s[0] <= moment), self.samples[0] if self.samples else None)

    def delivered_between(self, start, end):
        inside = [count for moment, count in self.delivered if start <= moment <= end]
        return inside[-1] - inside[0] if inside else 0


def status_kb(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def settings(fast_path, temporary_range=None):
    first, last = temporary_range or (8000, 9000)
    return (f"[General]\nAddPort=0\nFastPath={fast_path}\n[RemoteAdmin]\nTemporary=1\n"
            f"Password={PASSWORD}\nPort={REMOTE}\nFromPort={first}\nToPort={last}\n"
            f"[Tunnels]\nServer0={TUNNEL} {SERVER}:{GAME}\n")


def run_lookups(args):
    """The lookups scenario: its own laboratory, with the relay's namespace asking a name
    server that never answers."""
    lab = Lab()
    etc = None
    try:
        lab.build()
        # `ip netns exec` puts the files of /etc/netns/NAME over those of /etc.
        etc = os.path.join("/etc/netns", lab.ns["relay"])
        os.makedirs(etc, exist_ok=True)
        for name, text in (("resolv.conf", f"nameserver {SILENT_NAME_SERVER}\noptions timeout:30 attempts:1\n"),
                           ("nsswitch.conf", "hosts: files dns\n"), ("hosts", f"{SERVER} {LOOKUP_HOST}\n")):
            with open(os.path.join(etc, name), "w") as f:
                f.write(text)
        end = now() + args.seconds + 30
        for ns, role, params in (("relay", "silent_dns", {"until": end}),
                                 ("server", "server", {"until": end, "answer_all": False})):
            if lab.role(ns, role, **params).stdout.readline().strip() != "ready":
                raise RuntimeError(f"the {role} role did not start")
        masters = "".join(f"Server{i}={LOOKUP_MASTERS.format(i + 1)}\n" for i in range(args.masters))
        relay = lab.start_relay(args.headless, settings(args.fast_path) + "[Masters]\n" + masters)
        # The masters' lookups are on the worker threads by then.
        player = lab.role("players", "lookup_player", start=now() + 0.5, seconds=args.seconds)
        figures = {"player": result(player, args.seconds + 30), "log": relay.read_log().decode(errors="replace")}
        relay.process.terminate()
        if relay.process.wait(10) != 0:
            raise RuntimeError(f"the relay stopped with status {relay.process.returncode}:\n" + figures["log"][-3000:])
        return figures
    finally:
        lab.close()
        if etc:
            shutil.rmtree(etc, ignore_errors=True)


def report_lookups(args, figures, check):
    pl = figures["player"]
    print(f"relay: {args.masters} masters whose names never resolve; "
          f"{figures['log'].count('could not be looked up')} lines of a master's lookup failing")
    print(f"create|...|{LOOKUP_HOST}:{GAME}: {pl['create']}")
    first = "never" if pl["first"] is None else ms(pl["first"])
    print(f"player through the tunnel made by name: {pl['answered']} of {pl['sent']} answered "
          f"in {args.seconds:.0f} s, the first {first} after the tunnel was made")
    check(pl["first"] is not None and pl["first"] <= LIMITS["lookup_first"],
          f"the first answer within {LIMITS['lookup_first']:.0f} s: {first}")
    before_first = int((pl["first"] or args.seconds) / LOOKUP_EVERY) + 1
    check(pl["first"] is not None and pl["answered"] >= pl["sent"] - before_first,
          f"every datagram answered from the first answer on: {pl['answered']} of {pl['sent']}")


def run(args):
    if args.scenario == "carried":
        return run_carried(args)
    if args.scenario == "lookups":
        return run_lookups(args)
    lab = Lab()
    try:
        lab.build()
        if args.port_range:
            lab.sysctl("relay", "net.ipv4.ip_local_port_range", args.port_range.replace("-", " "))
        ports = lab.sysctl("relay", "net.ipv4.ip_local_port_range").split()
        icmp_before = lab.snmp("relay", "Icmp", "InDestUnreachs")
        queue_drops_before = lab.snmp("relay", "Udp", "RcvbufErrors")
        delivered_before = lab.snmp("relay", "Udp", "InDatagrams")
        figures = {"ports": "-".join(ports)}
        query_state = build_query_lab(lab, args) if args.scenario in QUERY_SCENARIOS else None
        own_state = build_own_lab(lab, args) if args.scenario in OWN_SCENARIOS else None
        server = lab.role("server", "server", until=now() + args.seconds + 60,
                          answer_all=args.answer_all or args.scenario == "blind",
                          answer_first=args.answer_first, slow_newcomers=args.slow_newcomers)
        if server.stdout.readline().strip() != "ready":
            raise RuntimeError("the game server did not start")
        pin = args.scenario in ("pin", "blind")
        relay_settings = settings(args.fast_path, PIN_RANGE if pin else None)
        if query_state is not None:
            relay_settings = relay_settings.replace("AddPort=0", "AddPort=1")
            for i in range(1, args.tunnels):
                relay_settings += f"Server{i}={TUNNEL + 2 * i} {SERVER}:{GAME}\n"
            if args.master:
                # The master at the first victim address, heartbeats to the victims' port.
                relay_settings += (f"[Masters]\nServer0={victim_addresses(1)[0]}:{VICTIM_PORT}\n"
                                   f"Interval={MASTER_INTERVAL}\n")
            query_state["settings"] = relay_settings
        if args.scenario in ("slowloris", "route", "mixed"):
            relay_settings += f"[Metrics]\nPort={METRICS}\nAddress={RELAY_ATTACKER}\n"
        if own_state is not None:
            own_state["settings"] = relay_settings
        relay = lab.start_relay(args.headless, relay_settings, args.nofile)
        # Time enough for every role to start before it acts.
        start = now() + 1.0
        attack_start = start + WARM_UP
        attack_end = attack_start + args.seconds
        # A slow server's newcomers are answered that much later: the tail waits for them too.
        end = attack_end + TAIL + args.slow_newcomers
        relay_log_start, log_started = len(relay.read_log()), now()
        sampler = Sampler(relay.pid)
        sampler.start()
        players = lab.role("players", "players", attack_start=attack_start, attack_end=attack_end, end=end,
                           crowd=args.players if args.scenario == "icmp" else 0,
                           patience=newcomer_patience(args))
        window = {"start": attack_start, "until": attack_end}
        attackers = {}
        if args.scenario == "forged":
            attackers["forge"] = lab.role("attacker", "forge", rate=args.rate, repeat=args.repeat,
                                          again_after=args.again_after / 1000, **window)
        elif args.scenario == "bypass":
            attackers["bypass"] = lab.role("attacker", "bypass", rate=args.rate, shape=args.shape, **window)
            fragments_from = lab.snmp("relay", "Ip", "ReasmReqds")
            # The relay's processor time once the flood has taken hold; the roles run on
            # by themselves meanwhile.
            sleep_until(attack_start + SETTLE)
            cpu_from = cpu_seconds(relay.pid)
            sleep_until(attack_end)
            figures["relay_cpu_settled"] = (cpu_seconds(relay.pid) - cpu_from) / (attack_end - attack_start - SETTLE)
            figures["fragments_reassembled"] = lab.snmp("relay", "Ip", "ReasmReqds") - fragments_from
        elif args.scenario == "icmp":
            attackers["icmp"] = lab.role("attacker", "icmp", rate=args.rate, ports=[int(p) for p in ports], **window)
        elif args.scenario == "guess":
            attackers["guess"] = lab.role("attacker", "guess", connections=args.connections, **window)
        elif args.scenario == "silent":
            attackers["silent"] = lab.role("attacker", "silent", start=start, until=attack_end)
            moments = [attack_start + 1 + i for i in range(int(args.seconds - 1))]
            attackers["admin"] = lab.role("players", "admin", moments=moments, start=attack_start)
        elif args.scenario == "hog":
            attackers["hog"] = lab.role("attacker", "hog", connections=args.connections, start=start, until=attack_end)
            moments = [attack_start + 1 + i for i in range(int(args.seconds - 1))]
            # A new address each time, in a /24 of the players' range that nobody else uses.
            sources = [spread_address(CROWD_NET, 254 * 200 + i) for i in range(len(moments))]
            attackers["admin"] = lab.role("players", "admin", moments=moments, start=attack_start, sources=sources)
        elif args.scenario == "slowloris":
            attackers["slowloris"] = lab.role("attacker", "slowloris", connections=args.slow, start=start,
                                              until=attack_end)
            moments = [attack_start + i for i in range(int(args.seconds))]
            attackers["scraper"] = lab.role("players", "scraper", moments=moments, start=attack_start)
        elif args.scenario == "pin":
            span = PIN_RANGE[1] - PIN_RANGE[0] + 1
            checks = [attack_start + c for c in PIN_CHECKS if c < args.seconds]
            attackers["admin"] = lab.role("players", "admin", start=attack_start,
                                          moments=[attack_start - 1.5] * span + checks)
            strangers = [attack_start + k * PIN_EVERY for k in range(int(args.seconds // PIN_EVERY) + 1)]
            attackers["stranger"] = lab.role("attacker", "stranger", moments=strangers, start=attack_start,
                                             ports=list(range(PIN_RANGE[0], PIN_RANGE[1] + 1)))
        elif args.scenario == "blind":
            attackers["blind"] = lab.role("attacker", "blind", sources=args.sources, ports=[TUNNEL], first_source=0,
                                          ramp=BLIND_RAMP, **window)
            span = PIN_RANGE[1] - PIN_RANGE[0] + 1
            checks = [attack_start + c for c in BLIND_CHECKS if c < args.seconds]
            attackers["admin"] = lab.role("players", "admin", start=attack_start,
                                          moments=[attack_start - 1.5] * span + checks)
            # Sources of their own, far from the others in the forged range.
            attackers["blind_temporary"] = lab.role("attacker", "blind", sources=span,
                                                    ports=list(range(PIN_RANGE[0], PIN_RANGE[1] + 1)),
                                                    first_source=FORGED_SIZE // 2, ramp=0.0, **window)
        elif args.scenario in QUERY_SCENARIOS:
            attackers.update(start_query_scenario(lab, args, query_state, start, attack_start, attack_end, end))
        elif args.scenario in OWN_SCENARIOS:
            attackers.update(start_own(lab, args, own_state, attack_start, attack_end, end))
        figures.update({name: result(process, args.seconds + 60) for name, process in attackers.items()})
        figures["players"] = result(players, TAIL + 30)
        sampler.running = False
        figures["peak_rss"] = status_kb(relay.pid, "VmHWM") * 1024
        figures["descriptors"] = max(sampler.descriptors, default=0)
        figures["rss_max"] = max(sampler.rss, default=0)
        figures["attack_start_sample"] = sampler.first_from(attack_start)
        figures["attack_end_sample"] = sampler.last_until(attack_end)
        # mixed: the resident memory each minute (each tenth, if shorter) of the attack's second half.
        step = min(60.0, args.seconds / 10)
        figures["mixed_half"] = [sampler.first_from(attack_start + args.seconds / 2 + step * i)[2]
                                 for i in range(int(args.seconds / 2 / step) + 1)] if sampler.samples else []
        figures["attack_tenths"] = ([sampler.first_from(attack_start + args.seconds * i / 10) for i in range(11)]
                                    if args.seconds >= LONG_ATTACK and sampler.samples else [])
        if relay.process.poll() is not None:
            raise RuntimeError(f"the relay ended during the attack, status {relay.process.returncode}:\n"
                               + relay.read_log()[-3000:].decode(errors="replace"))
        figures["log_seconds"] = now() - log_started
        relay.process.terminate()
        if relay.process.wait(10) != 0:
            raise RuntimeError(f"the relay stopped with status {relay.process.returncode}:\n"
                               + relay.read_log()[-3000:].decode(errors="replace"))
        server.terminate()
        figures["server"] = result(server, 10)
        figures["icmp_taken"] = lab.snmp("relay", "Icmp", "InDestUnreachs") - icmp_before
        figures["relay_queue_drops"] = lab.snmp("relay", "Udp", "RcvbufErrors") - queue_drops_before
        figures["relay_delivered"] = lab.snmp("relay", "Udp", "InDatagrams") - delivered_before
        if query_state is not None:
            finish_query_lab(lab, args, query_state, figures)
        if own_state is not None:
            finish_own(lab, args, own_state, figures)
        figures["alone"] = (start + 1.0, attack_start)
        figures["relay_delivered_alone"] = sampler.delivered_between(*figures["alone"])
        figures["settled"] = (attack_start + SETTLE, attack_end)
        figures["relay_delivered_settled"] = sampler.delivered_between(*figures["settled"])
        log = relay.read_log()
        figures["log"] = log[relay_log_start:].decode(errors="replace")
        figures["fast_path_line"] = next((line for line in log.decode(errors="replace").splitlines()
                                          if "Fast path o" in line), None)
        lab.keep(args.keep)
        return figures
    finally:
        lab.close()


def report(args, figures):
    """Prints the figures; returns the limits missed."""
    missed = []

    def check(ok, text):
        if args.check:
            print(("PASS  " if ok else "FAIL  ") + text)
        if not ok:
            missed.append(text)

    # A sanitizer build runs several times slower: its latencies say nothing of the relay's.
    def check_timing(ok, text):
        if args.sanitized:
            print("not held under the sanitizers: " + text)
        elif args.latency_unheld:
            print("not held in this run: " + text)
        else:
            check(ok, text)

    if args.scenario == "carried":
        report_carried(args, figures, check, check_timing)
        return missed
    if args.scenario == "lookups":
        report_lookups(args, figures, check)
        return missed
    pl, log = figures["players"], figures["log"]
    lines = log.splitlines()
    print(f"relay: FastPath={args.fast_path} ({figures['fast_path_line'] or 'no fast-path line'}), "
          f"{args.nofile} descriptors; load average {os.getloadavg()[0]:.1f}")
    print(f"established player: {pl['player_sent']} sent, {pl['player_lost']} lost, p50 {ms(pl['p50'])}, "
          f"p99 {ms(pl['p99'])}, worst {ms(pl['worst'])}")
    worst = "a newcomer never answered" if pl["newcomer_worst"] is None else ms(pl["newcomer_worst"])
    print(f"newcomers: {pl['newcomers']}, {pl['newcomers_unanswered']} unanswered within "
          f"{newcomer_patience(args):.0f} s; first answer p50 {ms(pl['newcomer_p50'])}, longest {worst}")
    print(f"relay: open descriptors at most {figures['descriptors']}, resident memory at most "
          f"{figures['rss_max'] / 1e6:.1f} MB (peak {figures['peak_rss'] / 1e6:.1f} MB); "
          f"{figures['relay_queue_drops']} datagrams dropped by its full socket queues, "
          f"{figures['relay_delivered']} delivered to its sockets")
    report_bounds(figures, lines)
    print(f"log during the run: {len(lines)} lines, {len(log.encode())} bytes; "
          f"{log.count('Got connection from')} 'Got connection from', "
          f"{sum(1 for l in lines if '[10024]' in l)} lines of 'Too many open files', "
          f"{sum(1 for l in lines if '[10009]' in l)} of 'Bad file number'")
    sv = figures["server"]
    print(f"game server: {sv['players']} players' datagrams, {sv['junk']} of the attacker's "
          f"(busiest second {sv['junk_busiest_second']}, most from one source in a second "
          f"{sv['junk_sources_max_per_second']}); {sv['dropped']} dropped by its full queue")
    # A server that answers newcomers only after S seconds makes them wait that long anyway.
    newcomer_limit = LIMITS["newcomer_wait"] + args.slow_newcomers
    newcomers_ok = pl["newcomer_worst"] is not None and pl["newcomer_worst"] <= newcomer_limit
    if args.answer_first:
        print(f"game server: {sv['challenges']} challenges, one to each source's first datagram of junk "
              f"(a source silent {CHALLENGE_FORGOTTEN_AFTER:.0f} s is new again)")
    if args.scenario == "forged":
        fg = figures["forge"]
        print(f"attack: {fg['sent']} forged datagrams in {args.seconds:.0f} s ({fg['sent'] / args.seconds:.0f} a second, "
              f"asked {args.rate}) from {fg['sources']} sources; {fg['failed']} sends failed")
        p99_limit = LIMITS["fast_p99" if args.fast_path else "socket_p99"]
        check(newcomers_ok, f"every newcomer answered within {newcomer_limit:g} s: {worst}")
        check(pl["player_lost"] == 0, f"the established player loses nothing: {pl['player_lost']} lost")
        check_timing(pl["p99"] is not None and pl["p99"] < p99_limit, f"its p99 under {ms(p99_limit)}: {ms(pl['p99'])}")
        check(figures["descriptors"] < args.nofile and "[10024]" not in log,
              f"descriptors never run out: at most {figures['descriptors']} of {args.nofile}")
        check(sv["junk_sources_max_per_second"] <= LIMITS["junk_per_source"],
              f"at most {LIMITS['junk_per_source']} datagrams a second per forged source reach the server: "
              f"{sv['junk_sources_max_per_second']}")
        # A flood at the pace or beyond is turned away in the kernel once it has taken hold.
        # Counted at the relay's system: every datagram delivered to a socket there, the
        # flood's and the few that the kernel does not carry (first datagrams, a lease's
        # renewals); the flood's share of the time, as it is sent evenly.
        start, end = figures["settled"]
        flood = int(fg["sent"] * max(0.0, end - start) / args.seconds)
        delivered = figures["relay_delivered_settled"]
        alone = figures["relay_delivered_alone"]
        alone_seconds = figures["alone"][1] - figures["alone"][0]
        print(f"before the attack, {alone} datagrams delivered to the relay's sockets in {alone_seconds:.1f} s; "
              f"after its first {SETTLE:.0f} s, {delivered} against {flood} forged")
        # Sources that come back, as --again-after sends them, go up to the sockets by design.
        at_pace = (args.rate == "max" or args.rate >= TRIAL_PACE) and not args.again_after
        fast_on = args.fast_path and "Fast path on" in (figures["fast_path_line"] or "")
        if fast_on:
            # Alone, the player sends and is answered 100 times a second each way.
            sockets_would_take = int(2 * 100 * alone_seconds)
            check(alone <= LIMITS["fast_uncarried"] * sockets_would_take,
                  f"the kernel carries the established player: {alone} of its {sockets_would_take} datagrams "
                  f"reach the relay's sockets")
        if fast_on and at_pace and flood > 0:
            check(delivered <= LIMITS["fast_reaching"] * flood,
                  f"with the fast path, once the flood has taken hold at most {LIMITS['fast_reaching']:.0%} of "
                  f"it reaches the relay's sockets: {delivered} of {flood}")
    elif args.scenario == "bypass":
        bp = figures["bypass"]
        start, end = figures["settled"]
        flood = int(bp["sent"] * max(0.0, end - start) / args.seconds)
        delivered = figures["relay_delivered_settled"]
        print(f"attack: {bp['sent']} forged datagrams, {args.shape}, in {args.seconds:.0f} s "
              f"({bp['sent'] / args.seconds:.0f} a second, asked {args.rate}); {bp['failed']} sends failed")
        print(f"after its first {SETTLE:.0f} s, {delivered} datagrams delivered to the relay's sockets against "
              f"{flood} forged; the relay took {figures['relay_cpu_settled']:.0%} of a processor; "
              f"{figures['fragments_reassembled']} fragments went to the relay's system's reassembly")
        check(pl["player_lost"] == 0, f"the established player loses nothing: {pl['player_lost']} lost")
        check("Fast path on" in (figures["fast_path_line"] or ""),
              f"the kernel's fast path is on: {figures['fast_path_line'] or 'no fast-path line'}")
        # The same share as a plain flood's in the forged scenario: no shape takes more.
        check(flood > 0 and delivered <= LIMITS["fast_reaching"] * flood,
              f"once the flood has taken hold at most {LIMITS['fast_reaching']:.0%} of it reaches the relay's "
              f"sockets, whatever its shape: {delivered} of {flood}")
    elif args.scenario == "icmp":
        ic = figures["icmp"]
        print(f"attack: {ic['sent']} ICMP errors in {args.seconds:.0f} s ({ic['sent'] / args.seconds:.0f} a second) "
              f"across ports {figures.get('ports', '')}; {ic['failed']} sends failed")
        print(f"the relay's system took in {figures['icmp_taken']} ICMP destination-unreachable errors")
        print(f"players: {pl['crowd']} more, {pl['crowd_deaf']} unanswered in the {TAIL - 1:.0f} s after the attack "
              f"({pl['crowd_never']} never answered)")
        check(pl["crowd_deaf"] == 0, f"no player deaf after the spray: {pl['crowd_deaf']} of {pl['crowd']}")
    elif args.scenario == "guess":
        gs = figures["guess"]
        rate = gs["answered"] / gs["seconds"]
        print(f"attack: {gs['answered']} wrong guesses answered in {gs['seconds']:.0f} s ({rate:.1f} a second, "
              f"busiest second {gs['busiest_second']}) from {gs['addresses']} addresses; "
              f"{gs['refused_or_closed']} connections refused or closed unanswered")
        check(rate < LIMITS["guesses_per_second"], f"under {LIMITS['guesses_per_second']} wrong guesses answered "
              f"a second: {rate:.1f}")
        if args.sanitized:
            print(f"relay memory not held to {LIMITS['guess_rss'] >> 20} MB: AddressSanitizer keeps freed memory")
        else:
            check(figures["peak_rss"] < LIMITS["guess_rss"], f"relay memory under {LIMITS['guess_rss'] >> 20} MB: "
                  f"{figures['peak_rss'] / 1e6:.1f} MB")
        check_timing(pl["p99"] is not None and pl["p99"] < LIMITS["guess_p99"],
              f"the player's p99 under {ms(LIMITS['guess_p99'])}: {ms(pl['p99'])}")
    elif args.scenario == "silent":
        replies = figures["admin"]["replies"]
        answered = sum(1 for _, r in replies if r.startswith("tunnel|") or r.startswith("error|"))
        print(f"attack: silent connections reopened {figures['silent']['reopened']} times")
        print(f"administrator: {answered} of {len(replies)} `create` answered; others: "
              f"{dict(collections.Counter(r for _, r in replies if not r.startswith(('tunnel|', 'error|'))))}")
        check(answered == len(replies), f"every `create` of the administrator answered: {answered} of {len(replies)}")
    elif args.scenario == "hog":
        replies = figures["admin"]["replies"]
        made = sum(1 for _, r in replies if r.startswith("tunnel|"))
        hog = figures["hog"]
        print(f"attack: {hog['answered']} wrong passwords answered, connections reopened {hog['reopened']} times "
              f"from {hog['addresses']} addresses; relay lines 'Refused remote control connection': "
              f"{log.count('Refused remote control connection')}")
        print(f"administrator, from a new address each time: {made} of {len(replies)} `create` answered `tunnel|`; "
              f"others: {dict(collections.Counter(r for _, r in replies if not r.startswith('tunnel|')))}")
        check(made == len(replies), f"every `create` of an administrator never seen answered: {made} of {len(replies)}")
    elif args.scenario == "slowloris":
        report_scrapes(args, figures, check)
    elif args.scenario == "pin":
        replies = figures["admin"]["replies"]
        made = replies[:PIN_RANGE[1] - PIN_RANGE[0] + 1]
        print(f"tunnels made before the stranger: {sum(1 for _, r in made if r.startswith('tunnel|'))} of {len(made)}")
        print(f"stranger: {figures['stranger']['sent']} datagrams, one to each tunnel every {PIN_EVERY:.0f} s; "
              f"tunnels closed: {log.count('Temporary tunnel on')}")
        report_pin_stranger(args, figures, check)
        for at, reply in replies[len(made):]:
            print(f"`create` at {at:.0f} s: {reply}")
            check(reply.startswith("tunnel|"), f"`create` at {at:.0f} s works: {reply}")
    elif args.scenario == "blind":
        report_blind(args, figures, check, newcomers_ok, newcomer_limit, worst)
    elif args.scenario == "reflect":
        report_reflect(args, figures, check)
    elif args.scenario == "loop":
        report_loop(args, figures, check)
    elif args.scenario == "gameloop":
        report_game_loop(args, figures, check)
    elif args.scenario == "route":
        report_route(args, figures, check)
    elif args.scenario == "share":
        report_share(args, figures, check)
    elif args.scenario == "mixed":
        report_mixed(args, figures, check, check_timing)
    if args.slow_newcomers:
        report_slow_newcomers(args, figures, check)
    return missed


def newcomer_patience(args):
    """How long a newcomer resends before it gives up: with --slow-newcomers S, S more, so that
    a newcomer whose upstream port changed once (and so waited 2 S) is still seen answered."""
    return NEWCOMER_GIVES_UP + args.slow_newcomers


def report_bounds(figures, lines):
    """The relay's descriptors and memory at the attack's start and end, and its log's pace:
    what says whether a long attack leaves the relay bounded."""
    first, last = figures["attack_start_sample"], figures["attack_end_sample"]
    if first and last:
        print(f"relay at the attack's start and end: descriptors {first[1]} and {last[1]}, resident memory "
              f"{first[2] / 1e6:.1f} MB and {last[2] / 1e6:.1f} MB")
    trace = figures["attack_tenths"]
    if trace:
        # A long attack: whether they level off or keep growing shows only along the way.
        print("relay at each tenth of the attack: descriptors " + " ".join(str(d) for _, d, _ in trace)
              + "; resident MB " + " ".join(f"{r / 1e6:.1f}" for _, _, r in trace))
    # Each line starts with its time stamp, to the second.
    per_second = collections.Counter(line[:19] for line in lines if line[:4].isdigit())
    print(f"log: {len(lines) / max(figures['log_seconds'], 1e-3):.2f} lines a second over "
          f"{figures['log_seconds']:.0f} s, busiest second {max(per_second.values(), default=0)} lines")


def report_scrapes(args, figures, check):
    """The slow connections and the scrapes beside them (slowloris, mixed)."""
    sl, scrapes = figures["slowloris"], figures["scraper"]["scrapes"]
    times = [t for _, t, outcome in scrapes if outcome is None]
    late = [(at, t) for at, t, outcome in scrapes if outcome is None and t > LIMITS["scrape"]]
    failed = [(at, outcome) for at, _, outcome in scrapes if outcome is not None]
    print(f"attack: {args.slow} slow connections asked; open each second from {sl['open_least']} to "
          f"{sl['open_most']}; closed by the relay and reopened {sl['reopened']} times, {sl['refused']} "
          f"connects failed, from {sl['addresses']} addresses")
    print(f"scrapes: {len(times)} of {len(scrapes)} answered, p50 {ms(percentile(times, 0.5))}, "
          f"longest {ms(max(times, default=None))}; over {LIMITS['scrape']:.0f} s: {late[:5]}; failed: {failed[:5]}")
    check(len(times) == len(scrapes) and not late,
          f"every scrape answered within {LIMITS['scrape']:.0f} s: {len(times) - len(late)} of {len(scrapes)}")


def report_mixed(args, figures, check, check_timing):
    """The floods together: the relay's memory over the attack's second half, beside what
    the scrapes and the player got."""
    pl, fg, fq = figures["players"], figures["forge"], figures["forge_query"]
    print(f"attack: {fg['sent']} forged game datagrams and {fq['sent']} forged queries in {args.seconds:.0f} s "
          f"(asked {args.rate} a second each); {fg['failed'] + fq['failed']} sends failed")
    report_scrapes(args, figures, check)
    check(pl["player_lost"] == 0, f"the established player loses nothing: {pl['player_lost']} lost")
    check_timing(pl["p99"] is not None and pl["p99"] < LIMITS["socket_p99"],
                 f"its p99 under {ms(LIMITS['socket_p99'])}: {ms(pl['p99'])}")
    half = figures["mixed_half"]
    if not half:
        return
    every = min(60.0, args.seconds / 10)
    print(f"relay's resident memory over the attack's second half, MB every {every:.0f} s: "
          + " ".join(f"{rss / 1e6:.1f}" for rss in half))
    rise = max(half) - half[0]
    if args.sanitized:
        print(f"memory not held: the sanitizers keep freed memory; it rose {rise / 1e6:.2f} MB")
    elif args.seconds < LONG_ATTACK:
        print(f"memory not held in a run under {LONG_ATTACK:.0f} s: it rose {rise / 1e6:.2f} MB")
    else:
        check(rise <= LIMITS["mixed_rise"], f"memory flat over the attack's second half: it rose "
              f"{rise / 1e6:.2f} MB (at most {LIMITS['mixed_rise'] / 1e6:.1f})")


def report_slow_newcomers(args, figures, check):
    """--slow-newcomers: each newcomer answered or not, and the upstream ports the server saw
    for it; a relay that changed its client's port would have the server start over."""
    waits = figures["players"]["newcomer_waits"]
    ports = figures["server"]["newcomer_sources"]
    print(f"slow server: newcomers answered after {args.slow_newcomers:g} s of sending; each newcomer "
          f"(answered after, upstream ports seen by the server):")
    print("  " + ", ".join(f"{i}: {'unanswered' if w is None else f'{w:.2f} s'}/{ports.get(str(i), 0)}"
                           for i, w in enumerate(waits)))
    counts = collections.Counter(ports.get(str(i), 0) for i in range(len(waits)))
    check(set(counts) == {1}, f"the server saw one upstream port per newcomer: newcomers by ports seen "
          f"{dict(sorted(counts.items()))}")


def report_pin_stranger(args, figures, check):
    """Whether the game server answered the stranger, round by round: with --answer-all it
    must, or the scenario tests a stranger nobody answers."""
    rounds = figures["stranger"]["rounds"]
    print("stranger's rounds (at, sent, answered): " + ", ".join(f"{at:.0f} s {n} {a}" for at, n, a in rounds))
    if args.answer_all:
        # The tunnels live 60 s from 1.5 s before the first round, unless kept.
        early = [r for r in rounds if r[0] < PIN_EVERY * 2]
        check(all(a == n for _, n, a in early), "the server answers the stranger while the tunnels are open: "
              + ", ".join(f"{a} of {n} at {at:.0f} s" for at, n, a in early))


def report_blind(args, figures, check, newcomers_ok, newcomer_limit, worst):
    """Blind forged sources holding relays: the newcomers answered beside them, and the
    temporary range free again for `create`."""
    tunnel, temporary, pl = figures["blind"], figures["blind_temporary"], figures["players"]
    print(f"attack: {tunnel['sources']} forged sources to the tunnel and {temporary['sources']} to the temporary "
          f"tunnels, {BLIND_BURST} datagrams in {BLIND_BURST_SPAN} s each and then one every {BLIND_EVERY:.0f} s: "
          f"{tunnel['sent'] + temporary['sent']} datagrams; {tunnel['failed'] + temporary['failed']} sends failed")
    answered = pl["newcomers"] - pl["newcomers_unanswered"]
    check(newcomers_ok, f"every newcomer answered within {newcomer_limit:g} s: {answered} of {pl['newcomers']}, "
          f"longest {worst}")
    check(pl["player_lost"] == 0, f"the established player loses nothing: {pl['player_lost']} lost")
    replies = figures["admin"]["replies"]
    made = replies[:PIN_RANGE[1] - PIN_RANGE[0] + 1]
    print(f"tunnels made before the forger: {sum(1 for _, r in made if r.startswith('tunnel|'))} of {len(made)}; "
          f"tunnels closed: {figures['log'].count('Temporary tunnel on')}")
    for at, reply in replies[len(made):]:
        check(reply.startswith("tunnel|"), f"`create` at {at:.0f} s works: {reply}")


def report_share(args, figures, check):
    """share's figures: the victim's tries at the game port, held to a newcomer's wait."""
    fq, vi = figures["forge_query"], figures["share_victim"]
    report_query_server(figures)
    print(f"attack: {fq['sent']} forged `\\status\\` in {args.seconds:.0f} s ({fq['sent'] / args.seconds:.0f} a second, "
          f"asked {args.rate}) from {SHARE_SOURCES} ports of {SHARE_VICTIM}; {fq['failed']} sends failed")
    log = figures["log"]
    print(f"relay log: {log.count('Got query connection from')} 'Got query connection from', "
          f"{log.count('too many from')} 'too many from'")
    limit = LIMITS["newcomer_wait"]
    waits = vi["waits"]
    print(f"victim {SHARE_VICTIM} playing from a new port each try: " + ", ".join(
        "unanswered" if w is None else ms(w) for w in waits))
    within = sum(1 for w in waits if w is not None and w <= limit)
    check(within == len(waits), f"the victim gets its game relay within {limit:g} s at every try: "
          f"{within} of {len(waits)}")


def ratio(numerator, denominator):
    return f"{numerator / denominator:.1f}x" if denominator else "n/a"


def report_query_server(figures):
    qs = figures["query_server"]
    print(f"game server's query port: {qs['queries']} datagrams, {qs['query_bytes']} bytes; {qs['replies']} replies, "
          f"{qs['reply_bytes']} bytes: its own amplification {ratio(qs['reply_bytes'], qs['query_bytes'])}; "
          f"{qs['dropped']} dropped by its namespace's full queues")
    return qs


def report_reflect(args, figures, check):
    """reflect's figures; `check` holds one to its limit."""
    fq, vi, br = figures["forge_query"], figures["victims"], figures["browser"]
    qs = report_query_server(figures)
    where = ("one victim address" if args.victims == 1 else f"{args.victims} victim addresses of a /24 in turn")
    if args.everywhere:
        where = f"{EVERYWHERE_SOURCES} sources from everywhere in turn"
    print(f"attack: {fq['sent']} forged `\\status\\` in {args.seconds:.0f} s ({fq['sent'] / args.seconds:.0f} a second, "
          f"asked {args.rate}) from {where}; {fq['failed']} sends failed; payload {fq['payload_bytes']} bytes, "
          f"IP {fq['ip_bytes']} bytes, on the attacker's link {figures['attacker_link_bytes']} bytes")
    print(f"victims: {vi['datagrams']} datagrams at {vi['addresses']} addresses from {len(vi['sources'])} sources; "
          f"payload {vi['payload']} bytes, on their link {figures['victim_link_bytes']} bytes; "
          f"{vi['dropped']} dropped by their full queue")
    if args.master:
        print(f"the victim address {victim_addresses(1)[0]} is a master: heartbeats every {MASTER_INTERVAL} s reach "
              f"it at its port {VICTIM_PORT}, counted with the replies; relay log: "
              f"{figures['log'].count('Announced ')} 'Announced'")
    print(f"reflected through the relay: payload {ratio(vi['payload'], fq['payload_bytes'])}, "
          f"on the links {ratio(figures['victim_link_bytes'], figures['attacker_link_bytes'])} "
          f"(the game server's own: {ratio(qs['reply_bytes'], qs['query_bytes'])})")
    print(f"browser: burst of {br['burst']} from a new port, {br['burst_answered']} answered within "
          f"{BROWSER_WAIT:.0f} s; then {br['answered']} of {br['sent']} `\\status\\` answered within "
          f"{BROWSER_WAIT:.0f} s during the attack ({br['late']} replies late), wait p50 {ms(br['wait_p50'])}, "
          f"worst {ms(br['wait_worst'])}")
    log = figures["log"]
    print(f"relay log: {log.count('Got query connection from')} 'Got query connection from'")
    check(vi["payload"] <= fq["payload_bytes"],
          f"no more bytes reach the victims than the attacker sent (payload): {vi['payload']} against "
          f"{fq['payload_bytes']}")
    share = br["answered"] / br["sent"] if br["sent"] else 0.0
    limit = LIMITS["browser_answered" if args.browser == "elsewhere" else "browser_borrowed_answered"]
    check(share >= limit, f"the browser ({args.browser}) has at least {limit:.0%} of its queries answered within "
          f"{BROWSER_WAIT:.0f} s: {br['answered']} of {br['sent']}")
    check(br["burst_answered"] == br["burst"],
          f"a burst of {br['burst']} from a browser is answered whole: {br['burst_answered']}")
    for round_ in figures.get("refresh", {}).get("rounds", []):
        check(round_["answered"] == round_["sent"],
              f"a refresh of {args.tunnels} servers by {round_['browsers']} browser(s) of one /24 is answered "
              f"whole: {round_['answered']} of {round_['sent']} ({round_['first']} before the retry)")


def loop_counts(per_second, seconds):
    """[datagrams in second 0, 1, ...] up to `seconds`, and those from second 1 on."""
    counts = [per_second.get(str(s), 0) for s in range(int(seconds))]
    return counts, sum(n for s, n in per_second.items() if int(s) >= 1)


def report_loop(args, figures, check):
    """loop's figures; `check` holds one to its limit."""
    qs = report_query_server(figures)
    span = args.seconds + TAIL
    if args.between_relays:
        first = f"relay B's query port {RELAY_B}:{QUERY}"
        ours = qs["per_second"].get(RELAY_SERVER, {})
        theirs = qs["per_second"].get(RELAY_B, {})
        third_name = "from relay B (each a datagram relay B relayed from its query port)"
        print(f"relay B: {'ran throughout' if figures['relay_b_running'] else 'ENDED during the run'}; "
              f"{figures['relay_b_log'].count('Got query connection from')} 'Got query connection from' in its log")
    else:
        first = f"a third party's query port {THIRD}:{THIRD_QUERY}"
        ours = qs["per_second"].get(RELAY_SERVER, {})
        theirs = figures["third_party"]["per_second"]
        third_name = "at the third party"
    print(f"loop: one forged `\\echo\\x` from {first} to the relay's query port at 0 s")
    ours_counts, ours_after = loop_counts(ours, span)
    theirs_counts, theirs_after = loop_counts(theirs, span)
    print(f"datagrams a second at our game server's query port from relay A: {ours_counts}")
    print(f"datagrams a second {third_name}: {theirs_counts}")
    print(f"after the first second: {ours_after} at our server from relay A, {theirs_after} {third_name}")
    limit = LIMITS["loop_after_first_second"]
    check(ours_after <= limit and theirs_after <= limit,
          f"the loop ends within a second (at most {limit} datagrams after it, at each end): "
          f"{ours_after} and {theirs_after}")


# --- the carried scenario's run and figures ----------------------------------------------------

FLOW_KEY, FLOW_VALUE = struct.Struct("!4sHH"), struct.Struct("<24xQQQQ24x")   # bpf/fastPathMap.h


def flows_table(pid):
    """The relay's table of carried flows, read with bpftool: {(address, port, local port):
    (last carried, datagrams carried)}."""
    map_id = None
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") != "anon_inode:bpf-map":
                continue
            with open(f"/proc/{pid}/fdinfo/{fd}") as f:
                info = dict(line.split(":", 1) for line in f.read().splitlines() if ":" in line)
        except FileNotFoundError:
            continue
        shape = tuple(int(info.get(field, "0")) for field in ("key_size", "value_size", "max_entries"))
        if shape == (FLOW_KEY.size, FLOW_VALUE.size, 65536):
            map_id = int(info["map_id"])
    if map_id is None:
        raise RuntimeError("the relay holds no table of carried flows")
    done = subprocess.run(["bpftool", "-j", "map", "dump", "id", str(map_id)], capture_output=True, text=True)
    if done.returncode:
        raise RuntimeError(f"bpftool map dump id {map_id}: {done.stderr.strip()}")
    table = {}
    for entry in json.loads(done.stdout):
        key = bytes(int(b, 16) for b in entry["key"])
        address, port, local = FLOW_KEY.unpack(key)
        _, last_seen, datagrams, _ = FLOW_VALUE.unpack(bytes(int(b, 16) for b in entry["value"]))
        table[(socket.inet_ntoa(address), port, local)] = (last_seen, datagrams)
    return table


def census(lab):
    return result(lab.role("players", "carried_census"), SCRAPE_GIVES_UP + 20)


def run_carried(args):
    lab = Lab()
    try:
        lab.build()
        lab.sysctl("relay", "net.ipv4.ip_local_port_range", (args.port_range or CARRIED_PORT_RANGE).replace("-", " "))
        ramp = args.relays / CARRIED_PACE
        # The longest the run can take: every role is bounded by it.
        bound = now() + ramp + CARRIED_IN_WITHIN + CARRIED_SETTLE + CARRIED_WARM_UP + args.seconds + 120
        server = lab.role("server", "server", until=bound, answer_all=False)
        query_server = lab.role("server", "query_server", until=bound, epoch=now())
        for process in (server, query_server):
            if process.stdout.readline().strip() != "ready":
                raise RuntimeError("the game server did not start")
        relay_settings = (settings(args.fast_path).replace("AddPort=0", "AddPort=1")
                          + f"[Metrics]\nPort={METRICS}\nAddress={RELAY_ATTACKER}\n")
        relay = lab.start_relay(args.headless, relay_settings, args.nofile)
        figures = {"ports": lab.sysctl("relay", "net.ipv4.ip_local_port_range")}
        start = now() + 1.0
        parts = -(-args.relays // CARRIED_PER_PROCESS)
        crowds = [lab.role("players", "carried_crowd", part=part, parts=parts, count=len(range(part, args.relays, parts)),
                           pace=CARRIED_PACE, start=start, in_by=start + ramp + CARRIED_IN_WITHIN, until=bound)
                  for part in range(parts)]
        figures["crowd_in"] = 0
        for crowd in crowds:
            line = crowd.stdout.readline().split()
            if line[:1] != ["in"]:
                raise RuntimeError(f"the crowd did not come in: {line}")
            figures["crowd_in"] += int(line[1])
        figures["crowd_in_after"] = now() - start
        time.sleep(CARRIED_SETTLE)
        figures["census_before"] = census(lab)
        # Without the fast path the relay holds no table.
        figures["table_before"] = flows_table(relay.pid) if args.fast_path else {}
        read_at = now()
        probe_start = read_at + 1.0
        window_start = probe_start + CARRIED_WARM_UP
        half = args.seconds / 2
        mid, window_end = window_start + half, window_start + args.seconds
        parts = [["quiet", window_start, mid], ["scraped", mid, window_end]]
        figures["parts"] = parts
        probe = lab.role("players", "carried_probe", start=probe_start, until=window_end + 1.0, parts=parts)
        scraper = lab.role("players", "scraper", moments=[mid + i for i in range(int(half))], start=mid)
        # The relay's processor time and the datagrams delivered to its namespace's sockets, per part.
        marks = []
        for moment in (window_start, mid, window_end):
            sleep_until(moment)
            marks.append((cpu_seconds(relay.pid), lab.snmp("relay", "Udp", "InDatagrams")))
        figures["relay_cpu"] = [(marks[i + 1][0] - marks[i][0]) / half for i in range(2)]
        figures["relay_delivered"] = [marks[i + 1][1] - marks[i][1] for i in range(2)]
        figures["probe"] = result(probe, 30)
        figures["scraper"] = result(scraper, SCRAPE_GIVES_UP + 30)
        figures["table_after"] = flows_table(relay.pid) if args.fast_path else {}
        figures["read_between"] = (read_at, now())
        figures["census_after"] = census(lab)
        figures["crowd"] = {"count": 0, "answered": 0, "answered_last_3s": 0, "sent": 0, "failed": 0, "answers": 0,
                            "waits": [], "sent_per_hundredth": collections.Counter(), "never_answered": []}
        for crowd in crowds:
            crowd.terminate()
        for crowd in crowds:
            for name, value in result(crowd, 30).items():
                if name == "sent_per_hundredth":
                    figures["crowd"][name].update({int(hundredth): n for hundredth, n in value.items()})
                elif name in figures["crowd"]:
                    figures["crowd"][name] += value
        figures["crowd_start"] = start
        if relay.process.poll() is not None:
            raise RuntimeError(f"the relay ended during the run, status {relay.process.returncode}:\n"
                               + relay.read_log()[-3000:].decode(errors="replace"))
        figures["peak_rss"] = status_kb(relay.pid, "VmHWM") * 1024
        relay.process.terminate()
        if relay.process.wait(30) != 0:
            raise RuntimeError(f"the relay stopped with status {relay.process.returncode}:\n"
                               + relay.read_log()[-3000:].decode(errors="replace"))
        for name, process in (("server", server), ("query_server", query_server)):
            process.terminate()
            figures[name] = result(process, 10)
        figures["log"] = relay.read_log().decode(errors="replace")
        figures["fast_path_line"] = next((l for l in figures["log"].splitlines() if "Fast path o" in l), None)
        lab.keep(args.keep)
        return figures
    finally:
        lab.close()


def report_carried(args, figures, check, check_timing):
    """carried's figures; `check` holds one to its limit, `check_timing` a latency."""
    crowd, before, after = figures["crowd"], figures["census_before"], figures["census_after"]

    def sent_between(begin, end):
        """The crowd's datagrams sent from `begin` to `end`, and the most in a hundredth of a second."""
        counts = [crowd["sent_per_hundredth"].get(h, 0) for h in range(int((begin - figures["crowd_start"]) * 100),
                                                                         int((end - figures["crowd_start"]) * 100))]
        return sum(counts), max(counts, default=0)

    print(f"relay: FastPath={args.fast_path} ({figures['fast_path_line'] or 'no fast-path line'}), "
          f"{args.nofile} descriptors, upstream ports {figures['ports']}; peak memory "
          f"{figures['peak_rss'] / 1e6:.1f} MB; load average {os.getloadavg()[0]:.1f}")
    print(f"crowd: {crowd['count']} players, {CARRIED_PER_ADDRESS} to an address, {CARRIED_PACE} a second: "
          f"{figures['crowd_in']} answered {figures['crowd_in_after']:.1f} s after the first "
          f"(first answer p50 {ms(percentile(crowd['waits'], 0.5))}, longest {ms(max(crowd['waits'], default=None))}); "
          f"{crowd['answered_last_3s']} still answered in the last 3 s; {crowd['sent']} datagrams sent, "
          f"{crowd['failed']} sends failed")
    for name, c in (("before", before), ("after", after)):
        print(f"relay's metrics {name} the measurement: gatewarden_relays {c['gatewarden_relays']:.0f}, "
              f"answered {c['gatewarden_relays_answered_total']:.0f}, established "
              f"{c['gatewarden_relays_established_total']:.0f}, closed {c['closed']}, clients refused {c['refused']}, "
              f"datagrams dropped {c['dropped']} (scrape {ms(c['took'])})")
    if crowd["never_answered"]:
        print(f"crowd members never answered (some): {' '.join(crowd['never_answered'])}")
    crowd_addresses = {crowd_address(i) for i in range(0, crowd["count"], CARRIED_PER_ADDRESS)}

    def crowd_entries(table):
        return {key: value for key, value in table.items() if key[2] == TUNNEL and key[0] in crowd_addresses}

    held, later = crowd_entries(figures["table_before"]), crowd_entries(figures["table_after"])
    carried = sum(1 for key, (_, datagrams) in later.items() if datagrams > held.get(key, (0, 0))[1])
    carried_datagrams = sum(datagrams - held.get(key, (0, 0))[1] for key, (_, datagrams) in later.items())
    read_from, read_to = figures["read_between"]
    crowd_sent = sent_between(read_from, read_to)[0]
    print(f"kernel's table: {len(figures['table_before'])} entries, {len(held)} the crowd's (client side) before; "
          f"{len(later)} after; {carried} of the crowd's relays carried a datagram between the two readings "
          f"({read_to - read_from:.0f} s), {carried_datagrams} of the crowd's {crowd_sent} datagrams then")
    probe = figures["probe"]["parts"]

    for index, (part, text) in enumerate((("quiet", "without scrapes"), ("scraped", "scraped every second"))):
        sent, busiest = sent_between(*figures["parts"][index][1:])
        print(f"{part} ({args.seconds / 2:.0f} s, {text}): relay {figures['relay_cpu'][index]:.0%} of a processor, "
              f"{figures['relay_delivered'][index]} datagrams delivered to its sockets; the crowd sent {sent}, "
              f"at most {busiest} in a hundredth of a second; the probe's own sends up to "
              f"{ms(probe[part]['probe_late'])} late")
        for kind, who in (("player", "established player"), ("query", "queries")):
            f = probe[part][kind]
            print(f"  {who}: {f['sent']} sent, {f['lost']} lost, p50 {ms(f['p50'])}, p99 {ms(f['p99'])}, "
                  f"worst {ms(f['worst'])}")
    scrapes = figures["scraper"]["scrapes"]
    times = [t for _, t, outcome in scrapes if outcome is None]
    print(f"scrapes: {len(times)} of {len(scrapes)} answered, p50 {ms(percentile(times, 0.5))}, "
          f"longest {ms(max(times, default=None))}")
    share = LIMITS["carried_share"]
    # Counted before the probe's player and browsers come: the crowd's relays alone.
    check(before["gatewarden_relays"] >= share * crowd["count"],
          f"the relay holds at least {share:.0%} of the crowd: {before['gatewarden_relays']:.0f} relays of "
          f"{crowd['count']}")
    if args.fast_path:
        check(carried >= share * crowd["count"],
              f"the kernel carries at least {share:.0%} of the crowd: {carried} of {crowd['count']}")
    for part in ("quiet", "scraped"):
        for kind, who in (("player", "the player's"), ("query", "a query's")):
            f = probe[part][kind]
            check_timing(f["p99"] is not None and f["p99"] < LIMITS["carried_p99"],
                         f"{part}: {who} p99 under {ms(LIMITS['carried_p99'])}: {ms(f['p99'])}")
            check_timing(f["worst"] is not None and f["worst"] < LIMITS["carried_worst"],
                         f"{part}: {who} worst under {ms(LIMITS['carried_worst'])}: {ms(f['worst'])}")


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--role":
        ROLES[sys.argv[2]](json.loads(sys.argv[3]))
        return
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("headless")
    parser.add_argument("scenario", choices=("forged", "bypass", "icmp", "guess", "silent", "pin", "hog", "slowloris",
                                             "blind")
                        + QUERY_SCENARIOS + ("carried", "lookups") + OWN_SCENARIOS)
    parser.add_argument("--fast-path", type=int, choices=(0, 1), default=None, help="0, or 1 for bypass")
    parser.add_argument("--shape", choices=("plain", "options", "fragments"), default="plain")
    parser.add_argument("--rate", default=None, help="a second, or max")
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--again-after", type=float, default=0, help="MS between the datagrams of a source")
    parser.add_argument("--seconds", type=float, default=None)
    parser.add_argument("--nofile", type=int, default=None, help="20000; for carried, --relays and 1000")
    parser.add_argument("--relays", type=int, default=30000, help="the crowd of the carried scenario")
    parser.add_argument("--players", type=int, default=300)
    parser.add_argument("--sources", type=int, default=2040, help="forged sources of the blind scenario")
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--masters", type=int, default=3, help="lookups: masters whose names hang")
    parser.add_argument("--scrape-every", type=float, default=1.0, help="mixed: seconds between scrapes")
    parser.add_argument("--slow", type=int, default=300, help="slow connections of the slowloris scenario")
    parser.add_argument("--answer-all", action="store_true")
    parser.add_argument("--answer-first", action="store_true",
                        help="the server challenges each source's first datagram of junk, ignores the rest")
    parser.add_argument("--slow-newcomers", type=float, default=0,
                        help="S: the server answers a newcomer's source once it has sent for S seconds")
    parser.add_argument("--victims", type=int, choices=(1, 256), default=1, help="reflect: one address, or a /24")
    parser.add_argument("--browser", choices=("elsewhere", "victim", "network"), default="elsewhere",
                        help="reflect: the browser apart, at the forged address, or in the forged /24")
    parser.add_argument("--master", action="store_true", help="reflect: the forged address is a master server")
    parser.add_argument("--everywhere", action="store_true",
                        help="reflect: forged sources from everywhere (a new one each query) instead of victims")
    parser.add_argument("--tunnels", type=int, default=1,
                        help="reflect: tunnels with a query port (ports 7000, 7002, ...), each refreshed whole")
    parser.add_argument("--between-relays", action="store_true", help="loop: between two relays of ours")
    parser.add_argument("--port-range", default=None, help="LOW-HIGH: the relay's ephemeral ports")
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--keep", default=None)
    parser.add_argument("--sanitized", action="store_true", help="HEADLESS is built with the sanitizers")
    parser.add_argument("--latency-unheld", action="store_true", help="print the latencies without holding them")
    args = parser.parse_args()
    if args.answer_all and args.answer_first:
        parser.error("--answer-all and --answer-first are two ways of answering junk: one at most")
    defaults = {"forged": (2000, 30), "bypass": (50000, 20), "icmp": (20000, 60), "guess": (None, 30),
                "silent": (None, 30), "hog": (None, 30), "slowloris": (None, 30), "pin": (None, 115), "blind": (None, 80),
                "reflect": (2000, 10), "loop": (None, 10), "share": (2000, 12), "mixed": (300, 60), "lookups": (None, 15),
                "carried": (None, 20), "gameloop": (None, 12), "route": (None, 20)}
    rate, seconds = defaults[args.scenario]
    args.rate = args.rate or rate
    if args.rate not in (None, "max"):
        args.rate = int(args.rate)
    args.seconds = args.seconds or seconds
    # A game server that answers every datagram: a loop's other end.
    args.answer_all = args.answer_all or args.scenario == "gameloop"
    if args.fast_path is None:
        args.fast_path = int(args.scenario in ("bypass", "carried"))
    if args.nofile is None:
        args.nofile = {"carried": args.relays + CARRIED_SPARE_DESCRIPTORS, "blind": BLIND_NOFILE}.get(args.scenario, 20000)
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    if hard != resource.RLIM_INFINITY and args.nofile > hard:
        raise SystemExit(f"netns_abuse: the relay cannot have {args.nofile} descriptors: the hard limit is {hard}, "
                         f"and raising it needs CAP_SYS_RESOURCE (--nofile, or --relays for carried)")
    if os.geteuid() != 0:
        raise SystemExit("needs root: it makes network namespaces")
    # Any way out (a signal included) goes through the clean-up of `run`; so does the end of
    # whatever started this process (a wrapper such as a shell function or a version shim
    # passes no signal on).
    def leave(*_):
        # A second signal must not cut the clean-up short.
        for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            signal.signal(sig, signal.SIG_IGN)
        sys.exit(2)

    for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(sig, leave)
    if ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM) != 0:
        print(f"netns_abuse: cannot follow the parent's end: {os.strerror(ctypes.get_errno())}", file=sys.stderr)
    print(f"$ {' '.join(sys.argv)}")
    try:
        figures = run(args)
    except RuntimeError as e:
        raise SystemExit(f"netns_abuse: {e}")
    missed = report(args, figures)
    if args.check and missed:
        sys.exit(1)


if __name__ == "__main__":
    main()
