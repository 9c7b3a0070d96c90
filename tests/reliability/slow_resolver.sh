#!/usr/bin/env bash
# A name server that never answers must not hold up the relay. In a network namespace of its
# own, whose resolver points at a socket that swallows every query, the headless program
# runs a tunnel to a host name and one to an address. While clients of the first wait for
# the name, a player of the second is answered every time within half a second, and the
# program still stops at once when told to. Then masters whose names hang: a temporary
# tunnel made by a name that the hosts file answers is answered at once beside them, and each
# master's lookup is given up after its deadline, not the name server's; names that stand for
# a multicast, broadcast or unspecified address get no tunnel.
#   slow_resolver.sh HEADLESS ECHO
# Needs root and iproute2; exits 77 (skipped) without them.
set -euo pipefail
program=$1
echo_server=$2
. "$(dirname "$0")/../lib/gwtest.sh"
{ [ "$(id -u)" -eq 0 ] && command -v ip >/dev/null; } || skip "needs root and iproute2"

ns=gw-resolver-$$
make_work resolver
show_on_fail="$work/relay.log"
# `ip netns exec` puts the files of /etc/netns/NAME over those of /etc.
mkdir -p "/etc/netns/$ns"
at_exit rm -rf "/etc/netns/$ns"
printf 'nameserver 127.0.0.53\noptions timeout:30 attempts:1\n' >"/etc/netns/$ns/resolv.conf"
printf 'hosts: files dns\n' >"/etc/netns/$ns/nsswitch.conf"
printf '%s\n' '127.0.0.1 echo.example.net' '224.0.0.1 multicast.example.net' \
  '255.255.255.255 broadcast.example.net' '0.0.0.0 nowhere.example.net' >"/etc/netns/$ns/hosts"
netns_add "$ns"

# The silent name server: bound, never reading, never answering.
spawn "$work/dns.log" ip netns exec "$ns" python3 -c 'import socket, time; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.53", 53)); print("ready", flush=True); time.sleep(120)'
wait_log 5 "$work/dns.log" '^ready' || fail "the silent name server did not start"
start_echo "$work/echo.log" "$echo_server" 120 "$ns"

# The namespace is new, so these ports are free.
write_settings "$work/gatewarden.ini" General.AddPort=0 RemoteAdmin.Temporary=0 \
  "Tunnels.Server0=7000 game.example.net:7777" "Tunnels.Server1=7002 127.0.0.1:$echo_port"
start_relay "$work/relay.log" "$work/gatewarden.ini" "$program" "$ns"
both_open() { [ "$(grep -c 'Tunnel open on' "$work/relay.log")" -eq 2 ]; }
within 5 both_open || fail "the tunnels did not open"

# A player on the second tunnel sends every 10 ms for 3 s; from the first half second on,
# five clients of the first tunnel send from five ports, once a second.
in_ns "$ns" python3 - <<'PY' || fail "a player waited"
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
# Ended: gone, or a zombie (a child of this script until waited for).
ended() { ! grep -qs '^State:\s*[^Z]' "/proc/$relay/status"; }
within 3 ended || fail "the program did not stop within 3 s of SIGTERM"

# libuv runs two lookups at once: two masters that hang would take both if they could.
write_settings "$work/masters.ini" General.AddPort=0 RemoteAdmin.Temporary=1 RemoteAdmin.Password=resolver \
  RemoteAdmin.Port=23817 RemoteAdmin.FromPort=8000 RemoteAdmin.ToPort=8009 \
  "Tunnels.Server0=7010 127.0.0.1:$echo_port" \
  Masters.Server0=master1.example.net Masters.Server1=master2.example.net Masters.Server2=master3.example.net
show_on_fail="$work/masters.log"
start_relay "$work/masters.log" "$work/masters.ini" "$program" "$ns"
wait_log 5 "$work/masters.log" 'Tunnel open on' || fail "the relay with masters did not start"
in_ns "$ns" python3 - "$echo_port" <<'PY' || fail "a create by name beside the masters went wrong"
import socket, sys, time
with socket.create_connection(("127.0.0.1", 23817), timeout=2) as admin:
    for name in ("multicast", "broadcast", "nowhere"):
        admin.sendall(b"create|resolver|%s.example.net" % name.encode())
        refused = admin.recv(64).decode()
        print(f"create to {name}.example.net: {refused.strip()}")
        if refused != "error|Bad server address\n\r":
            raise SystemExit(1)
    admin.sendall(b"create|resolver|echo.example.net:%s" % sys.argv[1].encode())
    reply = admin.recv(64).decode()
print(f"create: {reply.strip()}")
port = int(reply.split("|")[1])
client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
client.settimeout(0.1)
start = time.monotonic()
while time.monotonic() - start < 3:
    client.sendto(b"hello?", ("127.0.0.1", port))
    try:
        client.recvfrom(64)
    except socket.timeout:
        continue
    print(f"answered through the tunnel {(time.monotonic() - start) * 1000:.0f} ms after it was made")
    raise SystemExit(0)
print("not answered within 3 s")
raise SystemExit(1)
PY
# The name server keeps the first master's lookup for 30 s; the relay gives it up sooner.
wait_log 8 "$work/masters.log" 'Master master1.example.net:27900 could not be looked up' ||
  fail "the first master's lookup was not given up within 8 s"
kill -TERM "$relay"
within 3 ended || fail "the program with masters did not stop within 3 s of SIGTERM"
echo "ok"
