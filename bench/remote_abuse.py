#!/usr/bin/env python3
"""The remote control of gatewarden-headless tried as an attacker would, from outside.

    bench/remote_abuse.py [--headless PATH] [--limit N] CASE [options]

Each case starts the built headless program on a settings file of its own (one static
tunnel in front of an echo server, the remote control on a free port, the default
password), does its harm on 127.0.0.0/8 only, in loops that stop by themselves, prints
its figures and stops the program. --limit runs the program under `prlimit --nofile=N`.

  create-flood  creates on 16 connections for --seconds, while a player plays through the
                static tunnel until every temporary tunnel has expired: tunnels made, the
                player's longest round trip and lost datagrams
  idle          --connections idle remote connections (from one address, or from as many
                addresses, each in a /24 of its own, with --spread), then a new player on the static tunnel; with
                --hold S, how many the relay has closed S seconds later
  guess         wrong passwords of about --length bytes on --connections connections
                from one address for --seconds: guesses answered per second; the log's
                longest line and any line that is not one of the program's own
  create-check  creates with part of the range taken (another program, the static
                tunnel, live temporary tunnels): replies whose port does not reach the
                server asked for
  rotate        wrong passwords from addresses rotating over 127.0.0.0/8 (a new /24 for
                each), --parallel at a time, for --seconds, while a player plays through
                the static tunnel and the administrator creates from 127.0.0.1 every 2 s:
                wrong guesses answered per second, the relay's largest memory, the
                player's p99, the administrator's creates answered
  silent        8 silent connections from each of 4 addresses (each in a /24 of its
                own), reopened whenever closed, for --seconds, while the administrator
                creates from 127.0.0.1 every half second: creates answered, longest wait
"""
import argparse
import errno
import multiprocessing
import os
import re
import select
import socket
import struct
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "lib"))
from gwtest import Relay, free_port  # noqa: E402
STAMP = re.compile(rb"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ")


def free_udp_range(count, first=2000):
    """A first port p from `first` on such that p .. p + count - 1 were all free a moment ago."""
    for start in range(first, 60000 - count, 997):
        held = []
        try:
            for p in range(start, start + count + 1):
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                held.append(s)
                s.bind(("0.0.0.0", p))
            return start
        except OSError:
            continue
        finally:
            for s in held:
                s.close()
    raise SystemExit("no free range of %d UDP ports" % count)


class Echo(threading.Thread):
    """A game server: answers every datagram with its name and the datagram."""

    def __init__(self, name=b"echo"):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.tag = name
        self.running = True

    def run(self):
        self.sock.settimeout(0.2)
        while self.running:
            try:
                data, peer = self.sock.recvfrom(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            self.sock.sendto(self.tag + b"|" + data, peer)


# The relay's password: the headless program never opens the remote control with the
# default one.
PASSWORD = b"bench-secret"


def start_relay(args, from_port, to_port, static_port, server_port):
    """The headless program, up once its remote control (`relay.remote`) takes connections."""
    remote = free_port("tcp")
    wrapper = ["prlimit", "--nofile=%d" % args.limit] if args.limit else []
    relay = Relay(args.headless, {"RemoteAdmin": {"Password": PASSWORD.decode(), "Port": remote, "FromPort": from_port,
                                                  "ToPort": to_port},
                                  "Tunnels": {"Server0": "%d 127.0.0.1:%d" % (static_port, server_port)}}, wrapper=wrapper)
    relay.remote = remote
    try:
        return relay.start(ready=lambda: listening(remote), within=5)
    except RuntimeError:
        raise SystemExit("the relay did not start")


def listening(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def stopped(relay):
    """Stops the relay; its log."""
    relay.stop()
    log = relay.read_log()
    relay.close()
    return log


class Player(threading.Thread):
    """A game client: one datagram every 10 ms through the tunnel, each round trip timed."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port = port
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.running = True
        self.sent = self.answered = 0
        self.longest = 0.0
        self.longest_at = 0.0
        self.rtts = []
        self.began = time.monotonic()

    def run(self):
        pending = {}
        next_send = time.monotonic()
        while self.running:
            now = time.monotonic()
            if now >= next_send:
                pending[self.sent] = now
                self.sock.sendto(b"%d" % self.sent, ("127.0.0.1", self.port))
                self.sent += 1
                next_send = now + 0.01
            ready, _, _ = select.select([self.sock], [], [], max(0.0, next_send - time.monotonic()))
            if ready:
                data, _ = self.sock.recvfrom(4096)
                sequence = int(data.split(b"|", 1)[1])
                started = pending.pop(sequence, None)
                if started is not None:
                    self.answered += 1
                    self.rtts.append(time.monotonic() - started)
                    if time.monotonic() - started > self.longest:
                        self.longest = time.monotonic() - started
                        self.longest_at = started - self.began
        # What never came back waited at least until now.
        for started in pending.values():
            self.longest = max(self.longest, time.monotonic() - started)

    def finish(self):
        time.sleep(0.5)
        self.running = False
        self.join()
        return self

    def p99(self):
        ordered = sorted(self.rtts)
        return ordered[int(len(ordered) * 0.99)] if ordered else float("nan")


def connect(port, source="127.0.0.1"):
    s = socket.socket()
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def lines_report(log):
    lines = log.split(b"\n")[:-1]
    stray = [l for l in lines if not STAMP.match(l) and not l.startswith(b"gatewarden-headless:")]
    escapes = [l for l in lines if any(b < 32 and b != 9 for b in l)]
    print("log: %d lines, %d bytes, longest %d bytes, %d not starting with a time stamp, %d with control bytes"
          % (len(lines), len(log), max((len(l) for l in lines), default=0), len(stray), len(escapes)))


def hammer(conns, request, seconds):
    """Sends `request` on every connection, and again after each reply, for `seconds` or
    until the relay has closed them all. Returns the reply lines counted by their first
    field, the seconds it took and how many connections the relay left open."""
    counts = {}
    open_conns = list(conns)

    def send(c):
        try:
            c.send(request)
        except OSError:
            open_conns.remove(c)

    for c in conns:
        send(c)
    started = time.monotonic()
    while time.monotonic() - started < seconds and open_conns:
        ready, _, _ = select.select(open_conns, [], [], 0.5)
        for c in ready:
            try:
                reply = c.recv(4096)
            except OSError:
                reply = b""
            if not reply:
                open_conns.remove(c)
                continue
            for line in reply.split(b"\n\r"):
                if line:
                    counts[line.split(b"|")[0]] = counts.get(line.split(b"|")[0], 0) + 1
            send(c)
    return counts, time.monotonic() - started, len(open_conns)


def create_flood(args):
    echo = Echo()
    echo.start()
    static_port = free_udp_range(2)
    from_port = free_udp_range(args.range, static_port + 2)
    relay = start_relay(args, from_port, from_port + args.range - 1, static_port, echo.port)
    print("relay:", " ".join(relay.command), "; range", from_port, "to", from_port + args.range - 1)
    player = Player(static_port)
    player.start()
    conns = [connect(relay.remote) for _ in range(16)]
    counts, _, kept = hammer(conns, b"create|" + PASSWORD + b"|127.0.0.1:%d" % echo.port, args.seconds)
    print("creates on %d connections for %d s (%d kept open by the relay): %d tunnel replies, %d error replies"
          % (len(conns), args.seconds, kept, counts.get(b"tunnel", 0), counts.get(b"error", 0)))
    # Every tunnel expires 60 s after it was made; the player keeps playing through it all.
    time.sleep(64)
    player.finish()
    log = stopped(relay)
    opened = log.count(b"Tunnel open on ") - 1  # the static tunnel's line is one
    closed = log.count(b"Temporary tunnel on ")
    print("temporary tunnels opened %d, closed %d" % (opened, closed))
    print("player: %d sent, %d answered, longest round trip %.1f ms, %.1f s after the flood began"
          % (player.sent, player.answered, player.longest * 1000, player.longest_at))
    lines_report(log)


def small_relay(args):
    """A relay with its static tunnel before an echo server and a range of two ports."""
    echo = Echo()
    echo.start()
    static_port = free_udp_range(2)
    from_port = free_udp_range(2, static_port + 2)
    relay = start_relay(args, from_port, from_port + 1, static_port, echo.port)
    print("relay:", " ".join(relay.command))
    return static_port, relay


def idle(args):
    static_port, relay = small_relay(args)
    held = []
    for i in range(args.connections):
        source = "127.%d.%d.1" % (1 + i // 250, 2 + i % 250) if args.spread else "127.0.0.1"
        try:
            held.append(connect(relay.remote, source))
        except OSError as e:
            print("connection", i, "failed:", e)
            break
    def closed():
        count = 0
        for c in held:
            c.setblocking(False)
            try:
                count += c.recv(1, socket.MSG_PEEK) == b""
            except (BlockingIOError, ConnectionResetError):
                pass
        return count

    time.sleep(1)
    print("%d idle connections opened, %d of them closed by the relay" % (len(held), closed()))
    # prlimit runs the program in its own process.
    print("descriptors held by the relay:", len(os.listdir("/proc/%d/fd" % relay.process.pid)))
    player = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    player.bind(("127.0.0.1", 0))
    player.settimeout(0.2)
    answered = 0
    for i in range(75):
        player.sendto(b"%d" % i, ("127.0.0.1", static_port))
        try:
            player.recvfrom(4096)
            answered += 1
        except socket.timeout:
            pass
    print("new player: %d of 75 answered" % answered)
    if args.hold:
        time.sleep(args.hold)
        print("%.0f s later, %d of them closed by the relay" % (args.hold, closed()))
    for c in held:
        c.close()
    lines_report(stopped(relay))


def guess(args):
    _, relay = small_relay(args)
    conns = [connect(relay.remote) for _ in range(args.connections)]
    forged = b"x\n2026-12-07 12:00:00 Tunnel open on 1 to forged:1\x1b[2J" + b"y" * args.length
    counts, elapsed, kept = hammer(conns, b"create|" + forged + b"|127.0.0.1", args.seconds)
    answered = counts.get(b"error", 0)
    print("%d connections from 127.0.0.1: %d wrong guesses answered in %.1f s (%.2f a second over the %d s asked"
          " for); %d connections left open" % (args.connections, answered, elapsed, answered / args.seconds,
                                               args.seconds, kept))
    for c in conns:
        c.close()
    lines_report(stopped(relay))


def create_check(args):
    servers = [Echo(b"server%d" % i) for i in range(args.creates)]
    for s in servers:
        s.start()
    from_port = free_udp_range(args.range)
    # The static tunnel sits inside the range; another program holds two more of its ports.
    static_port = from_port + 1
    squatters = []
    for p in (from_port, from_port + 3):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("0.0.0.0", p))
        squatters.append(s)
    relay = start_relay(args, from_port, from_port + args.range - 1, static_port, servers[0].port)
    print("relay:", " ".join(relay.command), "; range", from_port, "to", from_port + args.range - 1,
          "; static tunnel on", static_port, "; other program on", from_port, from_port + 3)
    conn = connect(relay.remote)
    conn.settimeout(2)
    client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    client.bind(("127.0.0.1", 0))
    client.settimeout(1)
    tunnels = errors = wrong = 0
    for i, server in enumerate(servers):
        conn.send(b"create|" + PASSWORD + b"|127.0.0.1:%d" % server.port)
        reply = conn.recv(4096)
        if reply.startswith(b"error|"):
            errors += 1
            continue
        tunnels += 1
        port = int(reply[len(b"tunnel|"):].strip())
        client.sendto(b"%d" % i, ("127.0.0.1", port))
        try:
            data, _ = client.recvfrom(4096)
        except socket.timeout:
            data = b""
        if not data.startswith(server.tag + b"|"):
            wrong += 1
            print("tunnel|%d for server%d: answered by %r" % (port, i, data[:20]))
    print("%d creates on a range of %d: %d tunnel replies, %d error replies, %d tunnel replies not reaching the server asked for"
          % (args.creates, args.range, tunnels, errors, wrong))
    lines_report(stopped(relay))


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Admin(threading.Thread):
    """The administrator: from 127.0.0.1, every `every` seconds a new connection and a
    create, its reply awaited for up to 5 s."""

    def __init__(self, port, server_port, every):
        super().__init__(daemon=True)
        self.port, self.server_port, self.every = port, server_port, every
        self.running = True
        self.asked = self.answered = 0
        self.longest = 0.0
        self.replies = {}

    def run(self):
        while self.running:
            started = time.monotonic()
            self.asked += 1
            reply = b""
            try:
                with connect(self.port) as c:
                    c.settimeout(5)
                    c.send(b"create|" + PASSWORD + b"|127.0.0.1:%d" % self.server_port)
                    reply = c.recv(4096)
            except OSError:
                pass
            waited = time.monotonic() - started
            self.longest = max(self.longest, waited)
            kind = reply.split(b"|")[0] or b"(none)"
            self.replies[kind] = self.replies.get(kind, 0) + 1
            self.answered += reply.startswith(b"tunnel|")
            time.sleep(max(0.0, self.every - waited))

    def finish(self):
        self.running = False
        self.join()
        return self


def open_from(source, port):
    s = socket.socket()
    s.setblocking(False)
    s.bind((source, 0))
    if s.connect_ex(("127.0.0.1", port)) not in (0, errno.EINPROGRESS):
        s.close()
        return None
    return s


def rotating_guesses(port, seconds, parallel, results):
    """Wrong passwords, each from a connection of a new address (a /24 of its own), `parallel`
    at a time, for `seconds`; puts (connections, answered, seconds) into `results`."""
    guess = b"create|wrong|127.0.0.1"
    poller = select.poll()
    live = {}  # fd: [socket, sent, opened at]
    counter = answered = attempts = 0

    def next_address():
        nonlocal counter
        counter += 1
        n = counter + 256  # 127.<low>.<mid>.<1 + high>, never 127.0.0.x
        return "127.%d.%d.%d" % (n & 255, (n >> 8) & 255, 1 + (n >> 16) % 254)

    def drop(fd):
        poller.unregister(fd)
        s = live.pop(fd)[0]
        # Closed with a reset: thousands of ports left in TIME_WAIT would stop other
        # programs' listeners from binding them.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()

    started = time.monotonic()
    while time.monotonic() - started < seconds:
        while len(live) < parallel:
            s = open_from(next_address(), port)
            attempts += 1
            if s is not None:
                live[s.fileno()] = [s, False, time.monotonic()]
                poller.register(s, select.POLLOUT | select.POLLIN)
        for fd, event in poller.poll(100):
            entry = live.get(fd)
            if entry is None:
                continue
            if event & select.POLLOUT and not entry[1]:
                try:
                    entry[0].send(guess)
                    entry[1] = True
                    poller.modify(fd, select.POLLIN)
                except OSError:
                    drop(fd)
                continue
            try:
                reply = entry[0].recv(4096)
            except OSError:
                reply = b""
            answered += reply.count(b"error|")
            drop(fd)
        now = time.monotonic()
        for fd in [fd for fd, entry in live.items() if now - entry[2] > 2]:
            drop(fd)
    elapsed = time.monotonic() - started
    for fd in list(live):
        drop(fd)
    results.put((attempts, answered, elapsed))


def rotate(args):
    echo = Echo()
    echo.start()
    static_port = free_udp_range(2)
    from_port = free_udp_range(args.seconds + 10, static_port + 2)
    relay = start_relay(args, from_port, from_port + args.seconds + 9, static_port, echo.port)
    print("relay:", " ".join(relay.command))
    player = Player(static_port)
    player.start()
    admin = Admin(relay.remote, echo.port, 2)
    admin.start()
    # In a process of its own, so that the player's timing does not wait for it.
    results = multiprocessing.Queue()
    attacker = multiprocessing.Process(target=rotating_guesses,
                                       args=(relay.remote, args.seconds, args.parallel, results))
    attacker.start()
    cpu_before = cpu_seconds(relay.process.pid)
    largest = 0
    while attacker.is_alive() and results.empty():
        largest = max(largest, rss_kb(relay.process.pid))
        time.sleep(0.5)
    attempts, answered, elapsed = results.get()
    cpu = cpu_seconds(relay.process.pid) - cpu_before
    attacker.join()
    admin.finish()
    player.finish()
    log = stopped(relay)
    sys.stdout.buffer.write(log if args.show_log else b"")
    print("%d connections from rotating addresses in %.1f s, %d at a time: %d wrong guesses answered, %.1f a second"
          % (attempts, elapsed, args.parallel, answered, answered / elapsed))
    print("relay: largest %.1f MB resident, %.1f s of CPU time (%.0f%% of one core)"
          % (largest / 1024, cpu, 100 * cpu / elapsed))
    print("player: %d sent, %d answered, p99 %.2f ms, longest %.1f ms"
          % (player.sent, player.answered, player.p99() * 1000, player.longest * 1000))
    print("administrator: %d of %d creates answered with tunnel|, longest wait %.0f ms; replies %s"
          % (admin.answered, admin.asked, admin.longest * 1000, admin.replies))
    lines_report(log)


def silent(args):
    echo = Echo()
    echo.start()
    static_port = free_udp_range(2)
    ports = 2 * args.seconds + 10
    from_port = free_udp_range(ports, static_port + 2)
    relay = start_relay(args, from_port, from_port + ports - 1, static_port, echo.port)
    print("relay:", " ".join(relay.command))
    sources = ["127.0.%d.1" % n for n in (11, 12, 13, 14)]
    held = {}  # fd: (socket, source)
    poller = select.poll()
    reopened = 0

    def open_one(source):
        # A moment between connections, so that the backlog of 5 does not drop them.
        time.sleep(0.002)
        s = open_from(source, relay.remote)
        if s is not None:
            held[s.fileno()] = (s, source)
            poller.register(s, select.POLLIN)

    for source in sources:
        for _ in range(8):
            open_one(source)
    admin = Admin(relay.remote, echo.port, 0.5)
    admin.start()
    started = time.monotonic()
    while time.monotonic() - started < args.seconds:
        for fd, _ in poller.poll(100):
            if fd not in held:
                continue
            s, source = held.pop(fd)
            poller.unregister(fd)
            s.close()
            open_one(source)
            reopened += 1
        # Connections that could not be made are made again.
        for source in sources:
            for _ in range(8 - sum(1 for _, src in held.values() if src == source)):
                open_one(source)
    admin.finish()
    for s, _ in held.values():
        s.close()
    log = stopped(relay)
    sys.stdout.buffer.write(log if args.show_log else b"")
    print("4 addresses x 8 silent connections for %d s, reopened %d times" % (args.seconds, reopened))
    print("administrator: %d of %d creates answered with tunnel|, longest wait %.0f ms; replies %s"
          % (admin.answered, admin.asked, admin.longest * 1000, admin.replies))
    lines_report(log)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--headless", default=os.path.join(ROOT, "build", "gatewarden-headless"))
    parser.add_argument("--limit", type=int, default=0)
    sub = parser.add_subparsers(dest="case", required=True)
    flood = sub.add_parser("create-flood")
    flood.add_argument("--seconds", type=int, default=8)
    flood.add_argument("--range", type=int, default=101)
    many = sub.add_parser("idle")
    many.add_argument("--connections", type=int, default=250)
    many.add_argument("--spread", action="store_true")
    many.add_argument("--hold", type=float, default=0)
    guessing = sub.add_parser("guess")
    guessing.add_argument("--connections", type=int, default=16)
    guessing.add_argument("--seconds", type=int, default=8)
    guessing.add_argument("--length", type=int, default=100000)
    check = sub.add_parser("create-check")
    check.add_argument("--range", type=int, default=6)
    check.add_argument("--creates", type=int, default=8)
    rotating = sub.add_parser("rotate")
    rotating.add_argument("--seconds", type=int, default=30)
    rotating.add_argument("--parallel", type=int, default=64)
    rotating.add_argument("--show-log", action="store_true")
    crowd = sub.add_parser("silent")
    crowd.add_argument("--seconds", type=int, default=30)
    crowd.add_argument("--show-log", action="store_true")
    args = parser.parse_args()
    cases = {"create-flood": create_flood, "idle": idle, "guess": guess, "create-check": create_check,
             "rotate": rotate, "silent": silent}
    cases[args.case](args)


if __name__ == "__main__":
    main()
