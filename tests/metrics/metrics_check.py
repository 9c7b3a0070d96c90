"""The metrics read back through a real Prometheus server (scraping every second, storage of
its own) after a known traffic pattern through a tunnel to an echo server, all on loopback.
  metrics_check.py sockets|fastpath HEADLESS ECHO
fastpath (root, in the caller's namespace) runs with FastPath=1 and exits 77 when it is off.
"""
import glob
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

ROUND_TRIPS = 50


def fail(text, logs=()):
    print("FAILED:", text, flush=True)
    for path in logs:
        print(f"--- {path}\n{open(path, errors='replace').read()}", flush=True)
    sys.exit(1)


def wait_for(check, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.1)
    fail(f"waited {seconds} s for {what() if callable(what) else what}", glob.glob(f"{WORK}/*.log"))


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(name, command):
    process = subprocess.Popen(command, stdout=open(f"{WORK}/{name}.log", "w"), stderr=subprocess.STDOUT, cwd=WORK)
    PROCESSES.append(process)
    return process


def logged(name, text):
    return text in open(f"{WORK}/{name}.log", errors="replace").read()


def settings(tunnel, server, metrics, fast_path):
    path = f"{WORK}/relay.ini"
    open(path, "w").write(f"[General]\nAddPort=0\nFastPath={fast_path}\n[RemoteAdmin]\nTemporary=0\n"
                          f"[Metrics]\nPort={metrics}\n[Tunnels]\nServer0={tunnel} {server}\n")
    return path


def prometheus(metrics):
    port = free_port(socket.SOCK_STREAM)
    config = f"{WORK}/prometheus.yml"
    open(config, "w").write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n"
                            f"  - job_name: gatewarden\n    static_configs:\n      - targets: ['127.0.0.1:{metrics}']\n")
    start("prometheus", ["prometheus", f"--config.file={config}", f"--storage.tsdb.path={WORK}/tsdb",
                         f"--web.listen-address=127.0.0.1:{port}"])
    api = f"http://127.0.0.1:{port}/api/v1/query?query="
    wait_for(lambda: query(api, "up") == 1, 30, "Prometheus's first scrape")
    return api


def query(api, expression):
    """The value of one series, or None before there is one."""
    try:
        with urllib.request.urlopen(api + urllib.parse.quote(expression), timeout=2) as reply:
            result = json.load(reply)["data"]["result"]
    except OSError:
        return None
    return float(result[0]["value"][1]) if len(result) == 1 else None


def expect(api, expression, value):
    """Prometheus reads `value` for `expression` within a few scrapes."""
    wait_for(lambda: query(api, expression) == value, 10,
             lambda: f"{expression} == {value} (last read {query(api, expression)})")


def play(tunnel):
    """Round trips of many sizes through the tunnel; the bytes sent."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(2)
    sent = 0
    for n in range(ROUND_TRIPS):
        data = os.urandom(1 + n * 37 % 1400)
        s.sendto(data, ("127.0.0.1", tunnel))
        if s.recv(4096) != data:
            fail(f"round trip {n} came back altered")
        sent += len(data)
    return sent


def expect_traffic(api, tunnel, sent):
    """Prometheus reads the round trips each way; the tunnel's labels."""
    labels = f'tunnel="{tunnel}",kind="static"'
    for direction in ("to_server", "to_client"):
        expect(api, f'gatewarden_datagrams_total{{{labels},direction="{direction}"}}', ROUND_TRIPS)
        expect(api, f'gatewarden_bytes_total{{{labels},direction="{direction}"}}', sent)
    return labels


def relay_with_endpoint(fast_path):
    start("echo", [ECHO, "--seconds", "120"])
    port = wait_for(lambda: logged("echo", "port ") and open(f"{WORK}/echo.log").read().split()[1], 5, "the echo server")
    tunnel, metrics = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_STREAM)
    ini = settings(tunnel, f"127.0.0.1:{port}", metrics, fast_path)
    check = subprocess.run([HEADLESS, "--config", ini, "--check"], capture_output=True, text=True)
    if f"metrics on http://127.0.0.1:{metrics}/metrics" not in check.stdout:
        fail(f"--check does not tell the endpoint: {check.stdout}{check.stderr}")
    relay = start("relay", [HEADLESS, "--config", ini])
    wait_for(lambda: logged("relay", f"Metrics on http://127.0.0.1:{metrics}/metrics"), 5, "the endpoint")
    return relay, ini, tunnel, metrics


def sockets():
    relay, ini, tunnel, metrics = relay_with_endpoint(0)
    api = prometheus(metrics)
    labels = expect_traffic(api, tunnel, play(tunnel))
    # 129 source ports of one address: the last is refused for the address's cap, the
    # others are answered.
    crowd = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(129)]
    for s in crowd:
        s.bind(("127.0.0.2", 0))
        s.sendto(b"crowd", ("127.0.0.1", tunnel))
    expect(api, f'gatewarden_clients_refused_total{{{labels},cause="address_cap"}}', 1)
    expect(api, f'gatewarden_relays_answered_total{{{labels}}}', 129)
    expect(api, f'gatewarden_datagrams_total{{{labels},direction="to_client"}}', ROUND_TRIPS + 128)

    # A second relay on the same metrics port ends with status 1, saying why.
    second = subprocess.run([HEADLESS, "--config", ini], capture_output=True, text=True, timeout=10)
    if second.returncode != 1 or f"cannot serve metrics on TCP 127.0.0.1:{metrics}" not in second.stderr:
        fail(f"a taken metrics port: status {second.returncode}, {second.stderr}")
    # The endpoint serves for the process's life: a reload says that a change takes a restart.
    text = open(ini).read().replace(f"Port={metrics}", f"Port={free_port(socket.SOCK_STREAM)}")
    open(ini, "w").write(text)
    relay.send_signal(signal.SIGHUP)
    wait_for(lambda: logged("relay", f"Metrics stay on http://127.0.0.1:{metrics}/metrics until the next start"), 5,
             "the reload to tell that the endpoint stays")
    if b"gatewarden_relays{" not in urllib.request.urlopen(f"http://127.0.0.1:{metrics}/metrics", timeout=2).read():
        fail("the endpoint serves no relay figures after the reload")


def carried_by_kernel(relay):
    """Datagrams the relay's fast path program counted in its table, or None without bpftool."""
    ids = set()
    for info in glob.glob(f"/proc/{relay.pid}/fdinfo/*"):
        ids.update(line.split()[1] for line in open(info) if line.startswith("prog_id:"))
    try:
        table = json.loads(subprocess.check_output(["bpftool", "-j", "prog", "show", "id", ids.pop()]))["map_ids"][0]
        entries = json.loads(subprocess.check_output(["bpftool", "-j", "map", "dump", "id", str(table)]))
    except (OSError, KeyError, subprocess.CalledProcessError):
        return None
    return sum(entry.get("formatted", entry)["value"]["datagrams"] for entry in entries)


def fastpath():
    relay, _, tunnel, metrics = relay_with_endpoint(1)
    wait_for(lambda: logged("relay", "Fast path o"), 10, "the tunnel to tell of its fast path")
    if not logged("relay", "Fast path on for"):
        print("fast path part skipped:", [l for l in open(f"{WORK}/relay.log") if "Fast path off" in l][0].strip())
        sys.exit(77)
    api = prometheus(metrics)
    # The first datagram each way goes through the sockets, the others through the kernel.
    sent = play(tunnel)
    carried = carried_by_kernel(relay)
    print(f"the kernel carried {carried} datagrams", flush=True)
    if carried is not None and carried < ROUND_TRIPS:
        fail(f"the kernel carried only {carried} datagrams of {2 * ROUND_TRIPS}")
    expect_traffic(api, tunnel, sent)


if __name__ == "__main__":
    phase, HEADLESS, ECHO = sys.argv[1:4]
    PROCESSES = []
    with tempfile.TemporaryDirectory(prefix="gw-metrics-") as WORK:
        try:
            {"sockets": sockets, "fastpath": fastpath}[phase]()
        finally:
            for process in PROCESSES:
                process.kill()
                process.wait()
    print("ok", phase, flush=True)
