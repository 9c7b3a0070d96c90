"""The game server and the players of the fast-path test, each run in its own namespace.

  peers.py server                 echoes on 7777, answers status queries on 7778, prints
                                  "peer <id> <port>" for each new relay port a player uses
                                  and answers a player's first datagram from port 9999 too;
                                  "forge:" asks it to answer that relay from strangers too.
  peers.py players RELAY OUTPUT   the players; exits non-zero at the first fault.
  peers.py temporary RELAY SECONDS OUTPUT
                                  a temporary tunnel and one player on it for SECONDS.
  peers.py many RELAY PORT COUNT SIZE [new]   COUNT round trips of SIZE bytes (0: many sizes)
  peers.py ban RELAY LIMIT COMMAND...         3 s of play, then COMMAND; answers stop by LIMIT
"""
import os
import random
import select
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from gwtest import fail  # noqa: E402

GAME, QUERY, TUNNEL = 7777, 7778, 7000


def server():
    game = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    game.bind(("10.77.2.2", GAME))
    query = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    query.bind(("10.77.2.2", QUERY))
    # Another port of the server's address (the server's own, which the relay relays: the
    # kernel does not know it, and leaves it to the sockets), and a stranger: the server's
    # port on another address.
    other_port = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    other_port.bind(("10.77.2.2", 9999))
    strangers = []
    for address in (("10.77.2.3", GAME),):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(address)
        strangers.append(s)
    seen = set()
    print("ready", flush=True)
    while True:
        ready, _, _ = select.select([game, query], [], [], 120)
        if not ready:
            return
        for s in ready:
            data, source = s.recvfrom(65535)
            if s is query:
                s.sendto(b"\\hostname\\Test Server\\hostport\\7777\\gametype\\DM\\", source)
                continue
            player = data.split(b":", 1)[0].decode(errors="replace")
            first = (player, source[1]) not in seen
            if first:
                seen.add((player, source[1]))
                print(f"peer {player} {source[1]}", flush=True)
            s.sendto(data, source)
            if first and player.isdigit():
                # A new peer's first answer comes from the other port too (as a server whose
                # replies leave from another socket); a relay established on answers from the
                # port it sends to alone keeps to that port.
                other_port.sendto(b"OTHERPORT", source)
            if data.startswith(b"forge:"):
                for stranger in strangers:
                    stranger.sendto(b"FORGED", source)
                game.sendto(b"FORGED", ("10.77.1.1", source[1]))  # the relay's other address


def exchange(s, relay, data, port=TUNNEL):
    s.sendto(data, (relay, port))
    answer, source = s.recvfrom(65535)
    if source != (relay, port):
        fail(f"answer from {source}, expected {(relay, port)}")
    return answer


def players(relay, output):
    out = open(output, "w")
    clients = []
    for i in range(3):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.settimeout(1)
        s.bind(("0.0.0.0", 0))
        clients.append(s)
        print(f"player {i} {s.getsockname()[1]}", file=out, flush=True)
    rng = random.Random(13)
    # Same bytes both ways, sizes up to the largest a relay takes.
    for round_ in range(60):
        for i, s in enumerate(clients):
            size = 2999 if round_ == 59 else rng.randint(8, 1400)
            data = f"{i}:{round_}:".encode() + os.urandom(size)[: size - 8]
            if exchange(s, relay, data) != data:
                fail(f"player {i} got other bytes back in round {round_}")
            if round_ == 0:
                try:
                    other = s.recvfrom(65535)
                except socket.timeout:
                    fail(f"player {i}: the server's answer from its other port never came")
                if other != (b"OTHERPORT", (relay, TUNNEL)):
                    fail(f"player {i}: expected the server's answer from its other port, got {other[0][:20]!r}")
    # Strangers answering in the server's name never reach the player, nor does the server at
    # the relay's other address; a datagram to a host behind the relay is not the relay's.
    forge = b"forge:" + os.urandom(32)
    if exchange(clients[0], relay, forge) != forge:
        fail("the forging round trip came back altered")
    clients[0].sendto(b"0:elsewhere", ("10.77.2.3", TUNNEL))
    clients[0].settimeout(0.5)
    try:
        data, source = clients[0].recvfrom(65535)
        fail(f"a stranger's datagram reached the player: {data[:20]!r} from {source}")
    except socket.timeout:
        pass
    # Too long for the relay: dropped, never echoed.
    clients[2].sendto(b"2:" + b"x" * 2998, (relay, TUNNEL))
    try:
        clients[2].recvfrom(65535)
        fail("a 3000-byte datagram came back")
    except socket.timeout:
        pass
    # Status queries, from a browser's own socket, still go through the sockets and come
    # back rewritten.
    browser = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    browser.settimeout(1)
    reply = exchange(browser, relay, b"\\status\\", TUNNEL + 1)
    if b"[Gatewarden 3.0] Test Server" not in reply or b"\\hostport\\7000" not in reply:
        fail(f"query reply not rewritten: {reply!r}")
    print("checked", file=out, flush=True)
    # Player 1 goes on for 14 s, one datagram every half second; the others fall silent.
    end = time.monotonic() + 14
    while time.monotonic() < end:
        data = b"1:idle:" + os.urandom(16)
        if exchange(clients[1], relay, data) != data:
            fail("player 1 got other bytes back")
        time.sleep(0.5)
    print("done", file=out, flush=True)


def temporary(relay, seconds, output):
    """A temporary tunnel made over remote control, then one player on it for `seconds`."""
    control = socket.create_connection((relay, 23817), timeout=5)
    control.sendall(b"create|fastpath-test|10.77.2.2:7777")
    reply = control.recv(100)
    if not reply.startswith(b"tunnel|"):
        fail(f"no temporary tunnel: {reply!r}")
    port = int(reply[7:].strip())
    print(f"temporary {port}", file=open(output, "w"), flush=True)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(1)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        data = b"temporary:" + os.urandom(16)
        if exchange(s, relay, data, port) != data:
            fail("the temporary tunnel's player got other bytes back")
        time.sleep(0.5)


def many(relay, port, count, size, newcomers):
    s = None
    for n in range(count):
        if newcomers or not s:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.settimeout(1)
        data = f"many:{n}:".encode() + os.urandom(size or n % 1500 + 1)
        if exchange(s, relay, data, port) != data:
            fail(f"other bytes back, round {n}")


def ban(relay, limit, command):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    start, banned, answered = time.monotonic(), None, None
    while time.monotonic() < start + limit + 6:
        if banned is None and time.monotonic() > start + 3:
            subprocess.run(command, check=True)
            banned = time.monotonic()
        s.sendto(b"ban:" + os.urandom(16), (relay, TUNNEL))
        if select.select([s], [], [], 0.05)[0]:
            s.recv(65535)
            answered = time.monotonic()
        time.sleep(0.02)
    if answered is None or answered > banned + limit:
        fail(f"answered {answered and answered - banned} s after the ban")


if __name__ == "__main__":
    if sys.argv[1] == "server":
        server()
    elif sys.argv[1] == "players":
        players(sys.argv[2], sys.argv[3])
    elif sys.argv[1] == "temporary":
        temporary(sys.argv[2], float(sys.argv[3]), sys.argv[4])
    elif sys.argv[1] == "ban":
        ban(sys.argv[2], float(sys.argv[3]), sys.argv[4:])
    else:
        many(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]), len(sys.argv) > 6)
