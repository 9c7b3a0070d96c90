#!/usr/bin/env bash
# Attacks from many addresses, each from network namespaces of its own (bench/netns_abuse.py),
# in short versions held to the limits a relay facing the internet must keep: forged sources
# leave newcomers, the established player and the descriptors alone and reach the server a
# few a second each, and with the kernel's fast path most never reach the sockets; ICMP
# errors towards the relay's upstream ports leave no player deaf, on sockets or with the
# kernel's fast path;
# guessing from rotating addresses is answered under 100 times a second, in little memory,
# without slowing a player; silent connections from four networks never shut the
# administrator out; a stranger alone cannot keep temporary tunnels alive; a server that
# answers forged sources makes no relays of them; forged queries reflect less than they
# carry, and start no loop, nor does a datagram forged from another relay's game port; a
# carried player follows its server's route; slow connections do not blind the metrics endpoint. The limits
# the tool's --check holds each attack to are those of netns_limits.py, beside this test.
#   netns_attacks.sh HEADLESS [SANITIZED]   (SANITIZED: ON for a sanitizer build)
# Needs root, iproute2, prlimit and python3; exits 77 (skipped) without them.
# About 120 s of real time: the temporary tunnels' 60 s limit runs beside the other attacks.
set -uo pipefail
# Each job in a process group of its own, so that the clean-up reaches the tool itself.
set -m
program=$1
sanitized=()
[ "${2:-OFF}" = ON ] && sanitized=(--sanitized)
tool=$(cd "$(dirname "$0")/../../bench" && pwd)/netns_abuse.py
. "$(dirname "$0")/../lib/gwtest.sh"
[ "$(id -u)" -eq 0 ] || skip "needs root"
for command in ip prlimit python3; do command -v "$command" >/dev/null || skip "needs $command"; done
probe=gw-na-probe-$$
ip netns add "$probe" 2>/dev/null || skip "cannot make network namespaces"
ip netns del "$probe"

# The tool removes its namespaces and processes on SIGTERM, which the clean-up sends to each
# attack's process group.
make_work attacks

attack() { # name, arguments...: in the background
  local name=$1; shift
  spawn "$work/$name.out" "$tool" "$program" "$@" --check
}
failed=()
run() { # name, arguments...: one attack after the other
  attack "$@"
  wait "$spawned" || failed+=("$1")
}
attack pin pin --seconds 72
pin=$spawned
# 20,000 new sources a second against 4,096 descriptors: a relay that gives every source a
# socket runs out within a second, and one that makes a trial for each falls behind the
# flood, and the player's datagrams wait behind it in the tunnel's queue.
run forged forged --rate 20000 --seconds 8 --nofile 4096 "${sanitized[@]}"
# With the fast path the kernel carries the player (on a host that does not forward, as the
# relay's namespace here), turns the same flood away before it reaches the sockets, from the
# pace's first refusal, and still lets the newcomers through; so it does with a flood within
# the pace, from the sweep that sees it. The 2 ms latency limit is for 30 s on a quiet
# machine, not 8 s beside the other attacks.
run forged-fast forged --rate 20000 --seconds 8 --nofile 4096 --fast-path 1 --latency-unheld "${sanitized[@]}"
run forged-fast-pace forged --rate 2000 --seconds 8 --nofile 4096 --fast-path 1 --latency-unheld "${sanitized[@]}"
# A narrow ephemeral range makes every relay's port meet the spray twenty times a second.
run icmp icmp --seconds 10 --port-range 40000-40999
# The same where the kernel carries the players (where BPF is not to be had, the relay says so
# and this is the sockets again).
run icmp-fast icmp --seconds 10 --port-range 40000-40999 --fast-path 1
# A server that answers the forged sources too: its answer makes no player, so they neither
# take the descriptors nor write a line each.
run forged-answered forged --rate 20000 --seconds 8 --nofile 4096 --answer-all --latency-unheld "${sanitized[@]}"
# Forged status queries naming a /24 of victims: less reaches them than the forger sent,
# while a browser's burst and its queries are answered; and a forged echo between the query
# port and another server's dies at once.
run reflect reflect --victims 256 --seconds 5
run loop loop --seconds 4
# A forged datagram from another relay's game port, the server answering every datagram: the
# loop ends within a second or so, in the kernel too; and the kernel follows the server's
# route to a second link, and carries no datagram whose UDP length passes its IP payload.
run gameloop gameloop --between-relays --seconds 4 --fast-path 1
run route route --seconds 8 --fast-path 1
# Slow connections to the metrics endpoint: scrapes are still answered within a second.
run slowloris slowloris --slow 300 --seconds 6
run guess guess --seconds 6 "${sanitized[@]}"
run silent silent --seconds 6
wait "$pin" || failed+=(pin)
for name in forged forged-fast forged-fast-pace icmp icmp-fast forged-answered reflect loop gameloop route slowloris guess silent pin; do
  echo "--- $name"
  cat "$work/$name.out"
done
[ ${#failed[@]} -eq 0 ] || fail "${failed[*]}"
echo "ok"
