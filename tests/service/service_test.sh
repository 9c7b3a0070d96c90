#!/usr/bin/env bash
# The relay's package under a real systemd, as a Debian administrator meets it: a minimal
# Debian 12 root (debootstrap, made once and kept in the cache folder) booted with
# systemd-nspawn on a throwaway overlay and in a network namespace of its own; the package
# installed with dpkg, then its service enabled and running, reload of an edited, a broken and
# a missing file, the journal's priorities, a port below 1024 and the fast path with the
# documented drop-ins, a settings error that does not restart in a loop, upgrade, remove and
# purge. Skipped (77) where nspawn cannot boot.
# Usage: service_test.sh BUILD_FOLDER [CACHE_FOLDER]
set -euo pipefail
build=$1
cache=${2:-/var/cache/gatewarden-test}
root=$cache/bookworm
. "$(dirname "$0")/../lib/gwtest.sh"
[ "$(id -u)" -eq 0 ] || skip "needs root"
for tool in systemd-nspawn debootstrap nsenter; do command -v "$tool" >/dev/null || skip "needs $tool"; done

make_work service
nspawn=""
server=""
stop_machine() {
  if [ -n "$server" ]; then kill -KILL "$server" 2>/dev/null || true; fi
  if [ -n "$nspawn" ]; then
    kill -TERM "$nspawn" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$nspawn" 2>/dev/null || true
  fi
}
at_exit stop_machine
keep_going=1

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; exit 1; }
deb=$(cd "$work/out" && ls gatewarden-headless_*.deb)

# The root: what the relay's package depends on (read from the package, so that a new
# dependency makes a new root), systemd, and python3 for a game server.
depends=$(dpkg-deb -f "$work/out/$deb" Depends | sed 's/([^)]*)//g; s/|[^,]*//g; s/[[:space:]]//g')
includes="systemd,systemd-sysv,dbus,iproute2,procps,python3-minimal,$depends"
if [ ! -x "$root/lib/systemd/systemd" ] || [ "$(cat "$root.includes" 2>/dev/null)" != "$includes" ]; then
  mkdir -p "$cache"
  rm -rf "$root.tmp" "$root" "$root.includes"
  # The machine's own Debian mirror, as its apt sources name it.
  mirror=$(apt-cache policy | awk '$3 == "bookworm/main" {print $2; exit}')
  [ -n "$mirror" ] || skip "this machine's apt sources name no Debian 12 mirror"
  debootstrap --variant=minbase --include="$includes" \
    bookworm "$root.tmp" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -5 "$work/debootstrap.log"; skip "debootstrap failed"; }
  mv "$root.tmp" "$root"
  echo "$includes" >"$root.includes"
fi

systemd-nspawn -q -D "$root" --volatile=overlay -b --register=no --keep-unit --private-network \
  --capability=CAP_BPF,CAP_NET_ADMIN --system-call-filter=bpf --bind-ro="$work/out:/mnt/gw" \
  -M "gw-test-$$" </dev/null >"$work/console.log" 2>&1 &
nspawn=$!
leader=""
for _ in $(seq 300); do
  leader=$(pgrep -P "$nspawn" | head -1 || true)
  [ -n "$leader" ] && [ "$(readlink "/proc/$leader/exe" 2>/dev/null)" = "$root/lib/systemd/systemd" ] && break
  kill -0 "$nspawn" 2>/dev/null || break
  sleep 0.1
done
inside() { nsenter -t "$leader" -m -u -i -n -p -- "$@"; }
state=$(timeout 60 nsenter -t "$leader" -m -u -i -n -p -- systemctl is-system-running --wait 2>/dev/null || true)
[[ "$state" == running || "$state" == degraded ]] || { tail -5 "$work/console.log"; skip "nspawn cannot boot here ($state)"; }

settings=/etc/gatewarden/gatewarden.ini
status() { inside systemctl show -P StatusText gatewarden; }
journal() { inside journalctl -q -o cat -u gatewarden "$@"; }
# Waits up to 5 s for the journal to hold a line.
logged() { for _ in $(seq 50); do journal | grep -qF -- "$1" && return 0; sleep 0.1; done; return 1; }
# A game server on 127.0.0.1:7000 that echoes, and a client through the tunnel on port $1.
inside python3 -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 7000))
while True:
    data, peer = s.recvfrom(3000)
    s.sendto(b"echo:" + data, peer)
' </dev/null >/dev/null 2>&1 &
server=$!
relays() {
  inside python3 -c '
import socket, sys
c = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
c.settimeout(0.3)
for _ in range(10):
    c.sendto(b"ping", ("127.0.0.1", int(sys.argv[1])))
    try:
        sys.exit(0 if c.recvfrom(3000)[0] == b"echo:ping" else 1)
    except socket.timeout:
        pass
sys.exit(1)' "$1"
}

# Installed: enabled, running, serving and listening for nothing.
inside dpkg -i "/mnt/gw/$deb" >"$work/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$work/dpkg.log")"
[ "$(inside systemctl is-enabled gatewarden)" = enabled ] || fail "not enabled after install"
inside systemctl is-active --quiet gatewarden || fail "not active after install: $(journal)"
[ "$(status)" = "0 static tunnels, 0 temporary, 0 clients" ] || fail "status: $(status)"
inside ss -Hlnup | grep -q gatewarden && fail "listens after install: $(inside ss -Hlnup)"
inside ss -Hltnp | grep -q gatewarden && fail "listens for remote control after install"
# What it serves is one line, and --check without --config names the file it looked for.
logged "Serving $settings: 0 static tunnels, 0 temporary; remote control off (Temporary=0)" ||
  fail "no line of what it serves: $(journal)"
out=$(inside gatewarden-headless --check 2>&1) && fail "--check of a missing default file succeeded: $out"
[[ "$out" == *"Unable to read "*"/gatewarden.ini: No such file or directory"* ]] ||
  fail "--check without --config: $out"

# An edited file and a reload open the tunnel, and systemctl status counts it.
inside sed -i 's/^; Server0=.*/Server0=7777 127.0.0.1:7000/' "$settings"
inside systemctl reload gatewarden || fail "reload of a good file failed"
logged "Tunnel open on 7777 to 127.0.0.1:7000" || fail "no tunnel after reload: $(journal)"
relays 7777 || fail "the new tunnel does not relay"
sleep 1.5
[ "$(status)" = "1 static tunnels, 0 temporary, 1 clients" ] || fail "status after a client: $(status)"

# A broken and a missing file: the reload fails, the tunnel serves on.
inside cp "$settings" /root/good.ini
inside sh -c "echo 'Server1=7778 a:b:7778' >>$settings"
inside systemctl reload gatewarden 2>/dev/null && fail "reload of a broken file succeeded"
inside rm "$settings"
inside systemctl reload gatewarden 2>/dev/null && fail "reload of a missing file succeeded"
inside systemctl is-active --quiet gatewarden || fail "a failed reload stopped the service"
relays 7777 || fail "the tunnel stopped serving after failed reloads"
# The reasons are where the README's recipe looks, at error priority; so is a port cut to
# 16 bits before, which is now refused naming the entry.
inside sh -c "sed 's/^Port=23817/Port=70000/' /root/good.ini >$settings"
inside systemctl reload gatewarden 2>/dev/null && fail "reload with Port=70000 succeeded"
warnings=$(inside journalctl -q -o cat -p warning -u gatewarden)
for reason in "entry Server1=7778 a:b:7778: 'b:7778' is not a valid integer value" \
  "Unable to read $settings: No such file or directory" "entry Port=70000: not a port (1 to 65535)"; do
  [[ "$warnings" == *"$reason"* ]] || fail "journalctl -p warning lacks '$reason': $warnings"
done

# A metrics port another program holds at start (node_exporter, after a reboot): the
# tunnels serve, the failure is a warning, and the endpoint comes up once the port is free.
[ "$(inside systemctl show -P RestartUSec gatewarden)" = 5s ] || fail "RestartSec: $(inside systemctl show -P RestartUSec gatewarden)"
# The port of the shipped file's example.
inside sh -c "sed 's/^;Port=9112$/Port=9112/' /root/good.ini >$settings"
inside python3 -c '
import os, socket, time
s = socket.socket()
s.bind(("127.0.0.1", 9112))
s.listen()
open("/run/holder.pid", "w").write(str(os.getpid()))
time.sleep(30)' </dev/null >/dev/null 2>&1 &
for _ in $(seq 50); do inside test -s /run/holder.pid && break; sleep 0.1; done
inside systemctl restart gatewarden || fail "restart with the metrics port taken failed: $(journal | tail -5)"
relays 7777 || fail "the tunnel does not serve while the metrics port is taken: $(journal | tail -5)"
inside systemctl is-active --quiet gatewarden || fail "the service stopped on a taken metrics port: $(journal | tail -5)"
inside journalctl -q -o cat -p warning -u gatewarden | grep -qF "Metrics endpoint cannot listen: cannot serve metrics on TCP 127.0.0.1:9112" ||
  fail "the taken metrics port is not a warning: $(journal | tail -5)"
inside sh -c 'kill "$(cat /run/holder.pid)"' || fail "the port's holder was gone early"
scraped=""
for _ in $(seq 100); do
  # python3-minimal has no urllib: HTTP by hand.
  scraped=$(inside python3 -c '
import socket
c = socket.create_connection(("127.0.0.1", 9112), timeout=1)
c.sendall(b"GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
reply = b""
while chunk := c.recv(65536):
    reply += chunk
print(reply.decode())' 2>/dev/null || true)
  [[ "$scraped" == *gatewarden_static_tunnels* ]] && break
  sleep 0.2
done
[[ "$scraped" == *"gatewarden_static_tunnels 1"* ]] || fail "the endpoint did not come up once the port was free: $(journal | tail -3)"
logged "Metrics on http://127.0.0.1:9112/metrics" || fail "the endpoint's coming up is not told"

# A reload that changes FastPath: told at warning priority as taking a restart, and the
# Serving line tells what runs and what the file says.
inside sed -i 's/^FastPath=0/FastPath=1/' "$settings"
inside systemctl reload gatewarden || fail "reload with FastPath=1 failed"
inside journalctl -q -o cat -p warning -u gatewarden | grep -qF "a changed FastPath (FastPath=1) takes a restart" ||
  fail "the unapplied FastPath is not a warning: $(journal | tail -3)"
logged "fast path off (FastPath=0) (the file says FastPath=1, which takes a restart)" ||
  fail "the Serving line after FastPath=1: $(journal | grep Serving | tail -1)"
relays 7777 || fail "the tunnel stopped serving after the FastPath reload"

# A file of mode 0600 reads for root and not for the service's dynamic user: --check as
# root says so, and a reload (whose check runs as that user) is refused.
inside chmod 0600 "$settings"
out=$(inside gatewarden-headless --check --config "$settings" 2>&1) || true
[[ "$out" == *"$settings: the service's user could not read it (Permission denied)"* ]] ||
  fail "--check of a file of mode 0600: $out"
inside systemctl reload gatewarden 2>/dev/null && fail "reload of a file the service cannot read succeeded"
inside journalctl -q -o cat -p err -u gatewarden | grep -qF "Unable to read $settings: Permission denied" ||
  fail "the refused reload's reason is not in the journal: $(journal | tail -3)"
inside chmod 0644 "$settings"
relays 7777 || fail "the tunnel stopped serving after the refused reload"

# Remote control with a password of its own: told at reload, and it makes tunnels to
# servers only.
inside sh -c "sed 's/^Temporary=0/Temporary=1/; s/^Password=$/Password=s3cret/; s/^AddPort=1/&\nAddPot=1/' /root/good.ini >$settings"
inside systemctl reload gatewarden || fail "reload with remote control failed"
logged "remote control on TCP port 23817 (temporary tunnels on ports 8000 to 9000)" ||
  fail "the reload does not say remote control is on: $(journal | tail -3)"
inside journalctl -q -o cat -p warning -u gatewarden | grep -qF "AddPot=1 is no key of [General]" ||
  fail "a misspelt key is not warned of: $(journal | tail -5)"
ask() {
  inside python3 -c '
import socket, sys
c = socket.create_connection(("127.0.0.1", 23817), timeout=2)
c.sendall(sys.argv[1].encode())
print(repr(c.recv(100).decode()))' "$1"
}
[ "$(ask 'create|s3cret|127.0.0.1:7000')" = "'tunnel|8000\n\r'" ] || fail "create: $(ask 'create|s3cret|127.0.0.1:7000')"
logged "Remote control made a temporary tunnel on 8000 to 127.0.0.1:7000 for 127.0.0.1" ||
  fail "the temporary tunnel is not told as one: $(journal | tail -3)"
relays 8000 || fail "the temporary tunnel does not relay"
for bad in 127.0.0.1:70000 127.0.0.1:0 224.0.0.1 0.0.0.0:7000; do
  reply=$(ask "create|s3cret|$bad")
  [[ "$reply" == "'error|Bad server "* ]] || fail "create to $bad: $reply"
done

# A port below 1024: refused without the drop-in, and told at warning priority.
inside sh -c "sed 's/^Server0=.*/&\nServer1=700 127.0.0.1:7000/' /root/good.ini >$settings"
inside systemctl reload gatewarden || fail "reload failed"
logged "Tunnel open on 700" || fail "no line for port 700"
inside journalctl -q -o cat -p warning -u gatewarden | grep -qF "WSA Error: Permission denied [10013]" ||
  fail "journalctl -p warning lacks the bind failure: $(inside journalctl -q -o cat -p warning -u gatewarden)"
inside journalctl -q -o cat -p warning -u gatewarden | grep -qF "Tunnel open" && fail "news at warning priority"
# With the drop-ins of the manual page and docs/fastpath.md, both work; the fast path's
# capabilities without its system call say which of the two is missing.
inside mkdir -p /etc/systemd/system/gatewarden.service.d
inside sh -c 'printf "[Service]\nAmbientCapabilities=CAP_NET_BIND_SERVICE\nCapabilityBoundingSet=CAP_NET_BIND_SERVICE\n" >/etc/systemd/system/gatewarden.service.d/low-port.conf'
inside sh -c 'printf "[Service]\nAmbientCapabilities=CAP_BPF CAP_NET_ADMIN\nCapabilityBoundingSet=CAP_BPF CAP_NET_ADMIN\nRestrictAddressFamilies=AF_NETLINK\n" >/etc/systemd/system/gatewarden.service.d/fast-path.conf'
inside sed -i 's/^FastPath=0/FastPath=1/' "$settings"
inside systemctl daemon-reload
inside systemctl restart gatewarden || fail "restart without bpf() failed: $(journal | tail -5)"
logged "so its seccomp filter refuses bpf()" || fail "the fast path's failure: $(journal | grep 'Fast path' | tail -2)"
logged "; fast path off: the bpf() call that loads the program failed: Operation not permitted (EPERM)" ||
  fail "the line of what it serves lacks the fast path: $(journal | grep Serving | tail -1)"
inside sh -c 'printf "[Service]\nAmbientCapabilities=CAP_BPF CAP_NET_ADMIN\nCapabilityBoundingSet=CAP_BPF CAP_NET_ADMIN\nRestrictAddressFamilies=AF_NETLINK\nSystemCallFilter=bpf\n" >/etc/systemd/system/gatewarden.service.d/fast-path.conf'
inside sed -i 's/^FastPath=0/FastPath=1/' "$settings"
inside systemctl daemon-reload
inside systemctl restart gatewarden || fail "restart with the drop-ins failed: $(journal | tail -5)"
relays 700 || fail "port 700 does not relay with CAP_NET_BIND_SERVICE: $(journal | tail -5)"
logged "Fast path on for 7777 to 127.0.0.1:7000" || fail "the fast path is not on: $(journal | grep 'Fast path' | tail -2)"

# An upgrade restarts the service.
pid=$(inside systemctl show -P MainPID gatewarden)
inside dpkg -i "/mnt/gw/$deb" >"$work/dpkg.log" 2>&1 || fail "upgrade: $(cat "$work/dpkg.log")"
[ "$(inside systemctl show -P MainPID gatewarden)" != "$pid" ] || fail "the upgrade did not restart the service"

# A settings error stops the service without restarting it in a loop, the reason in the journal.
inside sh -c "echo 'Server9=1 a:b:1' >>$settings"
inside systemctl restart gatewarden 2>/dev/null && fail "restart on a broken file succeeded"
sleep 2
[ "$(inside systemctl show -P NRestarts gatewarden)" = 0 ] || fail "restarted $(inside systemctl show -P NRestarts gatewarden) times"
journal | grep -qF "entry Server9=1 a:b:1" || fail "the journal lacks the reason"
inside cp /root/good.ini "$settings"
inside systemctl start gatewarden || fail "start failed"

# Remove stops it (the settings stay); purge removes the settings.
inside dpkg -r gatewarden-headless >/dev/null 2>&1 || fail "dpkg -r failed"
inside systemctl is-active --quiet gatewarden && fail "still running after remove"
inside pgrep -x gatewarden-head >/dev/null && fail "the program runs on after remove"
inside test -f "$settings" || fail "remove took the settings"
inside dpkg -P gatewarden-headless >/dev/null 2>&1 || fail "dpkg -P failed"
inside test -e /etc/gatewarden && fail "purge left /etc/gatewarden"

[ "$failures" -eq 0 ] && echo "service under systemd: all checks passed"
exit "$failures"
