#!/usr/bin/env bash
# A name server that never answers must not hold up the relay. In a network namespace of its
# own, whose resolver points at a socket that swallows every query, the headless program
# runs a tunnel to a host name and one to an address. While clients of the first wait for
# the name, a player of the second is answered every time within half a second, and the
# program still stops at once when told to.
#   slow_resolver.sh HEADLESS ECHO
# Needs root and iproute2; exits 77 (skipped) without them.
set -euo pipefail
program=$1
echo_server=$2
if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null; then
  echo "skipped: needs root and iproute2"
  exit 77
fi

ns=gw-resolver-$$
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "/etc/netns/$ns" "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; cat "$work/relay.log" >&2 2>/dev/null || true; exit 1; }

# `ip netns exec` puts the files of /etc/netns/NAME over those of /etc.
mkdir -p "/etc/netns/$ns"
printf 'nameserver 127.0.0.53\noptions timeout:30 attempts:1\n' >"/etc/netns/$ns/resolv.conf"
printf 'hosts: files dns\n' >"/etc/netns/$ns/nsswitch.conf"
ip netns add "$ns"
in_ns() { ip netns exec "$ns" "$@"; }
in_ns ip link set lo up

# The silent name server: bound, never reading, never answering.
in_ns python3 -c 'import socket, time; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.53", 53)); print("ready", flush=True); time.sleep(120)' >"$work/dns.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do grep -q '^ready' "$work/dns.log" && break; sleep 0.1; done
grep -q '^ready' "$work/dns.log" || fail "the silent name server did not start"
in_ns "$echo_server" --seconds 120 >"$work/echo.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do grep -q '^port ' "$work/echo.log" && break; sleep 0.1; done
echo_port=$(awk '/^port /{print $2}' "$work/echo.log")
[ -n "$echo_port" ] || fail "the echo server did not start"

# The namespace is new, so these ports are free.
printf '[General]\nAddPort=0\n[RemoteAdmin]\nTemporary=0\n[Tunnels]\nServer0=7000 game.example.net:7777\nServer1=7002 127.0.0.1:%s\n' \
  "$echo_port" >"$work/gatewarden.ini"
in_ns "$program" --config "$work/gatewarden.ini" >"$work/relay.log" 2>&1 &
relay=$!
pids+=($relay)
for _ in $(seq 50); do [ "$(grep -c 'Tunnel open on' "$work/relay.log")" -eq 2 ] && break; sleep 0.1; done
[ "$(grep -c 'Tunnel open on' "$work/relay.log")" -eq 2 ] || fail "the tunnels did not open"

# A player on the second tunnel sends every 10 ms for 3 s; from the first half second on,
# five clients of the first tunnel send from five ports, once a second.
in_ns python3 - <<'PY' || fail "a player waited"
import socket, time
player = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
player.settimeout(2)
waiting = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(5)]
worst, start, last_wave = 0.0, time.monotonic(), None
while time.monotonic() - start < 3:
    now = time.monotonic()
    if now - start > 0.5 and (last_wave is None or now - last_wave >= 1):
        last_wave = now
        for s in waiting:
            s.sendto(b"hello?", ("127.0.0.1", 7000))
    sent = time.monotonic()
    player.sendto(b"move", ("127.0.0.1", 7002))
    try:
        player.recvfrom(64)
    except socket.timeout:
        print("no answer within 2 s")
        raise SystemExit(1)
    worst = max(worst, time.monotonic() - sent)
    time.sleep(0.01)
print(f"longest round trip while the name was looked up: {worst * 1000:.1f} ms")
raise SystemExit(0 if worst < 0.5 else 1)
PY
! grep -q "Got connection from .* -> game.example.net" "$work/relay.log" || fail "a relay was made before the name was answered"

# The lookup still hangs in a worker thread; the program must stop regardless.
kill -TERM "$relay"
for _ in $(seq 30); do kill -0 "$relay" 2>/dev/null || break; sleep 0.1; done
! kill -0 "$relay" 2>/dev/null || fail "the program did not stop within 3 s of SIGTERM"
echo "ok"
