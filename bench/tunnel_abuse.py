#!/usr/bin/env python3
"""The relay attacked from outside, as a stranger on the internet would, on 127.0.0.0/8 only.

    bench/tunnel_abuse.py HEADLESS SCENARIO [--seconds T]

Starts HEADLESS (a gatewarden-headless binary) with a settings file of its own in front of
a game server played by this script, runs one scenario against it, prints its figures and
stops everything. Every loop is bounded. Scenarios:

  forged     one datagram whose source is the tunnel's own port (sent through a raw socket,
             so root is needed), and one from the game server's port: how many datagrams
             reach the server, which answers each, in the T seconds after each
  stranger   a client plays; a stranger sends 100 datagrams to its relay's upstream port:
             how many reach the client
  ports      under a limit of 256 descriptors, one address sends from 400 source ports while
             a player of another address keeps playing: relays made, descriptors in use,
             the player's longest wait, and how soon a player who came during the flood
             is answered once it ends
  oversized  T seconds (default 8) of 3000-byte datagrams to a healthy tunnel while a player
             plays: bytes of log written, the player's round trips
"""
import os
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "lib"))
from gwtest import Relay, forged as forged_datagram, free_port, raw_socket  # noqa: E402

LOCAL = "127.0.0.1"


def udp(address=LOCAL, port=0):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((address, port))
    s.setblocking(False)
    return s


def start_relay(binary, server_port, nofile=None):
    """The headless program with one static tunnel (`relay.port`) in front of `server_port`."""
    port = free_port()
    relay = Relay(binary, {"General": {"AddPort": 0}, "RemoteAdmin": {"Temporary": 0},
                           "Tunnels": {"Server0": f"{port} {LOCAL}:{server_port}"}}, nofile=nofile).start()
    relay.port = port
    return relay


def descriptors(relay):
    return len(os.listdir(f"/proc/{relay.pid}/fd"))


def drain(sock):
    """Datagrams waiting on `sock`, as (data, source) pairs."""
    got = []
    while True:
        try:
            got.append(sock.recvfrom(65536))
        except BlockingIOError:
            return got


def echo(server):
    for data, source in drain(server):
        server.sendto(data, source)


def spoofed(source_port, destination_port, payload):
    """Sends one UDP datagram from 127.0.0.1:source_port through a raw socket."""
    with raw_socket() as raw:
        raw.sendto(forged_datagram((LOCAL, source_port), (LOCAL, destination_port), payload), (LOCAL, destination_port))


def count_arrivals(server, seconds):
    """Datagrams reaching the server in `seconds`, each answered as a game server does."""
    count, deadline = 0, time.monotonic() + seconds
    while time.monotonic() < deadline:
        for data, source in drain(server):
            count += 1
            server.sendto(data, source)
        time.sleep(0.001)
    return count


def round_trip(player, port, server, timeout=2.0):
    """Seconds until the player's datagram comes back through the relay; None if it does not."""
    sent = time.monotonic()
    player.sendto(b"move", (LOCAL, port))
    while time.monotonic() - sent < timeout:
        echo(server)
        if any(data == b"move" for data, _ in drain(player)):
            return time.monotonic() - sent
        time.sleep(0.0002)
    return None


def forged(binary, seconds):
    server = udp()
    with start_relay(binary, server.getsockname()[1]) as relay:
        spoofed(relay.port, relay.port, b"loop")
        from_own_port = count_arrivals(server, seconds)
        server.sendto(b"loop", (LOCAL, relay.port))
        from_server = count_arrivals(server, seconds)
        print(f"datagrams at the server in {seconds} s after one forged from the tunnel's own port: {from_own_port}")
        print(f"datagrams at the server in {seconds} s after one from the server's own port: {from_server}")


def stranger(binary, seconds):
    server, client, intruder = udp(), udp(), udp()
    with start_relay(binary, server.getsockname()[1]) as relay:
        client.sendto(b"hello", (LOCAL, relay.port))
        deadline = time.monotonic() + 2
        upstream = None
        while upstream is None and time.monotonic() < deadline:
            for _, source in drain(server):
                upstream = source
        if upstream is None:
            raise SystemExit("the client's datagram did not reach the server")
        for _ in range(100):
            intruder.sendto(b"\\hostname\\impostor", upstream)
        time.sleep(0.2)
        reached = len(drain(client))
        server.sendto(b"welcome", upstream)
        time.sleep(0.2)
        answered = [data for data, _ in drain(client)]
        print(f"stranger's datagrams that reached the client: {reached} of 100; "
              f"the server's answer reached it: {answered == [b'welcome']}")


def ports(binary, seconds):
    server = udp()
    player = udp("127.0.0.2")
    late = udp("127.0.0.3")
    with start_relay(binary, server.getsockname()[1], nofile=256) as relay:
        flood = [udp() for _ in range(400)]
        worst, peak, refused_late = 0.0, descriptors(relay), None
        for i, s in enumerate(flood):
            s.sendto(b"x", (LOCAL, relay.port))
            if i % 40 == 39:
                echo(server)
                wait = round_trip(player, relay.port, server)
                worst = max(worst, wait if wait is not None else float("inf"))
                peak = max(peak, descriptors(relay))
        # The late player comes when the flood has taken what it could.
        refused_late = round_trip(late, relay.port, server, 1.0) is None
        peak = max(peak, descriptors(relay))
        for s in flood:
            s.close()
        flood_end = time.monotonic()
        answered_after = None
        while time.monotonic() - flood_end < 30:
            if round_trip(late, relay.port, server, 1.0) is not None:
                answered_after = time.monotonic() - flood_end
                break
        log = relay.read_log().decode(errors="replace")
        print(f"relays made: {log.count('Got connection from')} (the flood's 400 source ports and two players)")
        print(f"descriptors in use at most: {peak} of 256")
        print(f"the player's longest round trip during the flood: {worst * 1000:.1f} ms")
        answered = f"{answered_after:.2f} s after its end" if answered_after is not None else "not within 30 s of its end"
        print(f"the player who came at the flood's height: unanswered then: {refused_late}; answered {answered}")
        print(f"lines about refusals: {sum(1 for l in log.splitlines() if 'Refused connection' in l or 'Too many' in l)}")


def oversized(binary, seconds):
    server, player, attacker = udp(), udp(), udp()
    with start_relay(binary, server.getsockname()[1]) as relay:
        waits, sent, start = [], 0, time.monotonic()
        big = b"x" * 3000
        log_before = len(relay.read_log())
        while time.monotonic() - start < seconds:
            for _ in range(200):
                try:
                    attacker.sendto(big, (LOCAL, relay.port))
                    sent += 1
                except BlockingIOError:
                    break
            wait = round_trip(player, relay.port, server)
            waits.append(wait if wait is not None else float("inf"))
        time.sleep(6)  # the count of the last few seconds is written at the next sweep
        written = len(relay.read_log()) - log_before
        waits.sort()
        print(f"{sent} datagrams of 3000 bytes in {seconds} s wrote {written} bytes of log")
        print(f"the player's round trips: {len(waits)}, p50 {waits[len(waits) // 2] * 1000:.2f} ms, "
              f"p99 {waits[int(len(waits) * 0.99)] * 1000:.2f} ms")


def main():
    if len(sys.argv) < 3 or sys.argv[2] not in ("forged", "stranger", "ports", "oversized"):
        raise SystemExit(__doc__)
    seconds = float(sys.argv[sys.argv.index("--seconds") + 1]) if "--seconds" in sys.argv else None
    defaults = {"forged": 5, "stranger": 0, "ports": 0, "oversized": 8}
    scenario = sys.argv[2]
    try:
        globals()[scenario](sys.argv[1], seconds or defaults[scenario])
    except RuntimeError as e:
        raise SystemExit(f"tunnel_abuse: {e}")


if __name__ == "__main__":
    main()
