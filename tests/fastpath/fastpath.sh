#!/usr/bin/env bash
# The kernel fast path end to end, in network namespaces of the test's own: players in one,
# the relay in another, the game server in a third, joined by veth pairs; then loopback alone.
# Same bytes both ways through the kernel; one server port per player; the server's answer from
# another of its ports reaches the player through the sockets, strangers never reach
# a player; too-long datagrams and status queries still meet the sockets; a relay the kernel
# carries stays while used and closes 12 s after, a temporary tunnel outlives its 60 s limit;
# the host's firewall, the links' MTU and datagrams' destinations are respected; a killed relay
# leaves nothing behind, nor does the program's exit.
#   fastpath.sh HEADLESS ECHO BPF_OBJECT
# Needs root, iproute2, python3, bpftool and nft, and a build and kernel with BPF; exits 77
# (skipped) without them. Waits about 80 s of real time: the idle limits meet the kernel's clock.
set -euo pipefail
program=$1
echo_server=$2
bpf_object=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib/gwtest.sh"
[ "$(id -u)" -eq 0 ] || skip "needs root"
for tool in ip python3 bpftool tc nft; do command -v "$tool" >/dev/null || skip "needs $tool"; done

tag=$$
ns_client=gw-fp-client-$tag ns_relay=gw-fp-relay-$tag ns_server=gw-fp-server-$tag ns_lo=gw-fp-lo-$tag
make_work fastpath
show_on_fail="$work/*.log"
program_of() { sed -n 's/^prog_id:\s*//p' /proc/"$1"/fdinfo/* 2>/dev/null | sort -u | head -1; }
# Datagrams the kernel carried from addresses starting with $2 (to local port $3, if given),
# in the table of program $1.
carried_from() {
  local table
  # The program's table of flows by its name: the order of a program's maps is the compiler's.
  table=$(bpftool -j map show | python3 -c '
import json, sys
used = set(json.loads(sys.argv[1])["map_ids"])
print(next(m["id"] for m in json.load(sys.stdin) if m["id"] in used and m.get("name") == "flows"))' \
    "$(bpftool -j prog show id "$1")")
  bpftool -j map dump id "$table" | python3 -c '
import json, socket, struct, sys
prefix, port = sys.argv[1], int(sys.argv[2] or 0)
total = 0
for entry in json.load(sys.stdin):
    entry = entry.get("formatted", entry)
    address = socket.inet_ntoa(struct.pack("<I", entry["key"]["addr"]))
    if address.startswith(prefix) and port in (0, socket.ntohs(entry["key"]["local_port"])):
        total += entry["value"]["datagrams"]
print(total)' "$2" "${3:-}"
}
# The program's exit leaves nothing: no classifier, no clsact queue, the program unloaded.
left_nothing() { # namespace, program id, interfaces...
  local ns=$1 id=$2; shift 2
  for dev in "$@"; do
    [ -z "$(in_ns "$ns" tc filter show dev "$dev" ingress)" ] || fail "a classifier stayed on $dev"
    ! in_ns "$ns" tc qdisc show dev "$dev" | grep -q clsact || fail "a clsact queue stayed on $dev"
  done
  # The kernel frees a program after its last reference, a moment later.
  gone() { ! bpftool prog show id "$id"; }
  within 3 gone || fail "program $id is still loaded"
  [ -z "$(find /sys/fs/bpf -name '*gw*' 2>/dev/null)" ] || fail "something is pinned"
}
settings() { # file, server, temporary tunnels (0 or 1)
  write_settings "$1" General.AddPort=1 General.FastPath=1 RemoteAdmin.Password=fastpath-test "RemoteAdmin.Temporary=$3" \
    "Tunnels.Server0=7000 $2"
}
fast_path_on() { # log, tunnel
  grep -q "Fast path on for 7000 to $2" "$1" && return 0
  if grep -qE "Fast path off .*(no BPF support|no privileges|cannot load)" "$1"; then
    skip "$(grep 'Fast path off' "$1" | head -1)"
  fi
  fail "the tunnel did not say its fast path is on"
}

# --- players | relay | server -----------------------------------------------------------
netns_add "$ns_client" "$ns_relay" "$ns_server"
veth "$ns_client" gw-fp-c$tag 10.77.1.2/24 "$ns_relay" gw-fp-r$tag 10.77.1.1/24
veth "$ns_server" gw-fp-s$tag 10.77.2.2/24 "$ns_relay" gw-fp-u$tag 10.77.2.1/24
in_ns "$ns_server" ip addr add 10.77.2.3/24 dev gw-fp-s$tag
# The relay routes between the two: the players reach 10.77.2.3 through it.
in_ns "$ns_relay" sysctl -qw net.ipv4.ip_forward=1
in_ns "$ns_client" ip route add 10.77.2.0/24 via 10.77.1.1
in_ns "$ns_server" ip route add 10.77.1.0/24 via 10.77.2.1

spawn "$work/server.log" ip netns exec "$ns_server" python3 "$here/peers.py" server
wait_log 5 "$work/server.log" '^ready' || fail "the game server did not start"
settings "$work/relay.ini" 10.77.2.2:7777 1
start_relay "$work/relay.log" "$work/relay.ini" "$program" "$ns_relay"
wait_log 5 "$work/relay.log" 'Fast path o' || fail "the tunnel said nothing of its fast path"
fast_path_on "$work/relay.log" 10.77.2.2:7777
id=$(program_of "$relay")
[ -n "$id" ] || fail "the relay holds no program"

spawn "$work/players.log" ip netns exec "$ns_client" python3 "$here/peers.py" players 10.77.1.1 "$work/players.out"
players=$spawned
listening() { in_ns "$ns_relay" ss -ltnH 'sport = :23817' | grep -q .; }
within 5 listening || fail "the remote control does not listen"
spawn "$work/temporary.log" ip netns exec "$ns_client" python3 "$here/peers.py" temporary 10.77.1.1 62 "$work/temporary.out"
temporary=$spawned
wait_log 30 "$work/players.out" '^checked' || fail "the players' checks did not pass"
# Every player had its first datagram relayed by the sockets and the rest by the kernel.
[ "$(carried_from "$id" 10.77.1.)" -ge 150 ] || fail "the kernel carried $(carried_from "$id" 10.77.1.) datagrams of the players"
[ "$(carried_from "$id" 10.77.2.2)" -ge 150 ] || fail "the kernel carried $(carried_from "$id" 10.77.2.2) replies"
for player in 0 1 2; do
  [ "$(grep -c "^peer $player " "$work/server.log")" -eq 1 ] || fail "player $player reached the server from more than one port"
done
grep -q 'Message too long \[10040\]' "$work/relay.log" || fail "the 3000-byte datagram was not refused by the sockets"

# Players 0 and 2 fell silent; their relays close after 12 s, although player 1, whose
# datagrams only the kernel sees, keeps its relay for the 14 s it goes on.
port() { awk -v n="$1" '$1 == "player" && $2 == n {print $3}' "$work/players.out"; }
wait_log 20 "$work/players.out" '^done' || fail "player 1 did not finish"
wait "$players" || fail "a player met a fault"
wait_log 3 "$work/relay.log" "Closed connection from 10.77.1.2:$(port 0) " || fail "the silent player 0 kept its relay"
! grep -q "Closed connection from 10.77.1.2:$(port 1) " "$work/relay.log" || fail "player 1's relay closed while the kernel carried it"
wait_log 15 "$work/relay.log" "Closed connection from 10.77.1.2:$(port 1) " ||
  fail "player 1's relay did not close 12 s after its last datagram"
[ "$(carried_from "$id" 10.77. 7000)" -eq 0 ] || fail "entries stayed after their relays closed"

# The temporary tunnel's player sent for 62 s; the sockets saw only its first datagram.
wait "$temporary" || fail "the temporary tunnel's player met a fault"
temporary_port=$(awk '$1 == "temporary" {print $2}' "$work/temporary.out")
! grep -q "Temporary tunnel on $temporary_port .* closed" "$work/relay.log" ||
  fail "the temporary tunnel closed while the kernel carried its player"
# One datagram a lease (2 s) of its 124 went up to the sockets.
[ "$(carried_from "$id" 10.77.1. "$temporary_port")" -ge 80 ] || fail "the kernel did not carry the temporary tunnel's player"

# An nftables ban of a carried player's address: no answer later than the lease after it.
printf 'table ip gw_ban {\n chain input {\n  type filter hook input priority 0;\n  ip saddr 10.77.1.2 drop\n }\n}\n' >"$work/ban.nft"
in_ns "$ns_client" python3 "$here/peers.py" ban 10.77.1.1 2.5 ip netns exec "$ns_relay" nft -f "$work/ban.nft" ||
  fail "the ban did not reach the carried player"
in_ns "$ns_relay" nft delete table ip gw_ban

# The server's link at MTU 1400: 1450-byte datagrams go up to the sockets, which fragment.
in_ns "$ns_relay" ip link set gw-fp-u$tag mtu 1400
in_ns "$ns_server" ip link set gw-fp-s$tag mtu 1400
in_ns "$ns_client" python3 "$here/peers.py" many 10.77.1.1 7000 100 1450 || fail "1450-byte datagrams were lost"

# Killed, the relay leaves nothing behind that answers; the kernel unloads its program.
kill -KILL "$relay"
wait "$relay" 2>/dev/null || true
left_nothing "$ns_relay" "$id" lo gw-fp-r$tag gw-fp-u$tag
# Classic filters of ours as a kernel without tc links leaves them: the one a running process
# claims stays, the other goes at the next start, even without the fast path.
for dev in gw-fp-r$tag gw-fp-u$tag; do
  in_ns "$ns_relay" tc qdisc add dev "$dev" clsact
  in_ns "$ns_relay" tc filter add dev "$dev" ingress prio 0x4757 handle 0x4757 bpf da obj "$bpf_object" sec tc
done
claimed=$(in_ns "$ns_relay" tc filter show dev gw-fp-u$tag ingress | sed -n 's/.* id \([0-9]*\).*/\1/p')
spawn "$work/claim.log" ip netns exec "$ns_relay" python3 -c 'import socket,sys,time; s=socket.socket(socket.AF_UNIX,socket.SOCK_DGRAM); s.bind("\0gatewarden-fast-path-"+sys.argv[1]); print("held",flush=True); time.sleep(60)' "$claimed"
wait_log 3 "$work/claim.log" held || fail "the claim was not held"
sed 's/^FastPath=1/FastPath=0/' "$work/relay.ini" >"$work/sockets.ini"
start_relay "$work/sockets.log" "$work/sockets.ini" "$program" "$ns_relay"
wait_log 5 "$work/sockets.log" 'Tunnel open' || fail "the relay on sockets did not start"
grep -q "Removed the fast path filter a killed process left on gw-fp-r$tag\$" "$work/sockets.log" ||
  fail "the filter nobody holds was not removed"
[ -z "$(in_ns "$ns_relay" tc filter show dev gw-fp-r$tag ingress)" ] || fail "a filter nobody holds stayed"
[ -n "$(in_ns "$ns_relay" tc filter show dev gw-fp-u$tag ingress)" ] || fail "a running process's filter was removed"
in_ns "$ns_client" python3 "$here/peers.py" many 10.77.1.1 7000 80 64 new || fail "a newcomer was not answered"

# --- loopback alone -----------------------------------------------------------------------
netns_add "$ns_lo"
start_echo "$work/echo.log" "$echo_server" 60 "$ns_lo"
settings "$work/lo.ini" "127.0.0.1:$echo_port" 0
start_relay "$work/lo.log" "$work/lo.ini" "$program" "$ns_lo"
wait_log 5 "$work/lo.log" 'Fast path o' || fail "the loopback tunnel said nothing of its fast path"
fast_path_on "$work/lo.log" 127.0.0.1
id=$(program_of "$relay")
in_ns "$ns_lo" python3 "$here/peers.py" many 127.0.0.1 7000 200 0 || fail "loopback players met a fault"
[ "$(carried_from "$id" 127.)" -ge 398 ] || fail "the kernel carried $(carried_from "$id" 127.) of 400 on loopback"
kill -TERM "$relay"
wait "$relay" || fail "the loopback relay did not stop cleanly"
left_nothing "$ns_lo" "$id" lo
echo "ok"
