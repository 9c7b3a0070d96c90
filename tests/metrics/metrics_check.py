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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
import gwtest  # noqa: E402
from gwtest import free_port  # noqa: E402

ROUND_TRIPS = 50
DIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "dist")


def fail(text):
    gwtest.fail(text, sorted(glob.glob(f"{WORK}/*.log")))


def wait_for(check, seconds, what):
    return gwtest.wait_for(check, seconds, 0.1) or fail(f"waited {seconds} s for {what() if callable(what) else what}")


def start(name, command):
    PROCESSES.append(subprocess.Popen(command, stdout=open(f"{WORK}/{name}.log", "w"), stderr=subprocess.STDOUT))
    return PROCESSES[-1]


def logged(name, text):
    return text in open(f"{WORK}/{name}.log", errors="replace").read()


def query_all(api, expression):
    try:
        with urllib.request.urlopen(api + urllib.parse.quote(expression), timeout=2) as reply:
            return json.load(reply)["data"]["result"]
    except OSError:
        return None


def query(api, expression):
    result = query_all(api, expression)
    return float(result[0]["value"][1]) if result and len(result) == 1 else None


def expect(api, expression, value):
    wait_for(lambda: query(api, expression) == value, 10,
             lambda: f"{expression} == {value} (last read {query(api, expression)})")


def relay_and_prometheus(fast_path):
    start("echo", [ECHO, "--seconds", "120"])
    port = wait_for(lambda: logged("echo", "port ") and open(f"{WORK}/echo.log").read().split()[1], 5, "the echo server")
    tunnel, metrics, web = free_port("udp"), free_port("tcp"), free_port("tcp")
    relay = gwtest.Relay(HEADLESS, {"General": {"AddPort": 0, "FastPath": fast_path}, "RemoteAdmin": {"Temporary": 0},
                                    "Metrics": {"Port": metrics}, "Tunnels": {"Server0": f"{tunnel} 127.0.0.1:{port}"}},
                         folder=WORK)
    ini = relay.settings
    check = subprocess.run([HEADLESS, "--config", ini, "--check"], capture_output=True, text=True)
    if f"metrics on http://127.0.0.1:{metrics}/metrics" not in check.stdout:
        fail(f"--check does not tell the endpoint: {check.stdout}{check.stderr}")
    try:
        relay = relay.start(ready=(f"Metrics on http://127.0.0.1:{metrics}/metrics",), within=5).process
    except RuntimeError:
        fail("waited 5 s for the endpoint")
    PROCESSES.append(relay)
    # The shipped alert rules are loaded as an operator loads them: Prometheus does not
    # start on rules it cannot read.
    open(f"{WORK}/prometheus.yml", "w").write(
        "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n"
        f"rule_files:\n  - {os.path.join(DIST, 'gatewarden-alerts.yml')}\n"
        "scrape_configs:\n  - job_name: gatewarden\n"
        f"    static_configs:\n      - targets: ['127.0.0.1:{metrics}']\n")
    start("prometheus", ["prometheus", f"--config.file={WORK}/prometheus.yml", f"--storage.tsdb.path={WORK}/tsdb",
                         f"--web.listen-address=127.0.0.1:{web}"])
    api = f"http://127.0.0.1:{web}/api/v1/query?query="
    wait_for(lambda: query(api, "up") == 1, 30, "Prometheus's first scrape")
    return relay, ini, tunnel, metrics, api


def play(tunnel):
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
    labels = f'tunnel="{tunnel}",kind="static"'
    for direction in ("to_server", "to_client"):
        expect(api, f'gatewarden_datagrams_total{{{labels},direction="{direction}"}}', ROUND_TRIPS)
        expect(api, f'gatewarden_bytes_total{{{labels},direction="{direction}"}}', sent)
    return labels


def sockets():
    relay, ini, tunnel, metrics, api = relay_and_prometheus(0)
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
    check_process_figures(api)
    check_dashboard_and_rules(api)
    # A second relay on the same metrics port serves its tunnel at once, tells the taken
    # port, and opens the endpoint once the first relay has let it go.
    second_tunnel = free_port("udp")
    text = open(ini).read().replace(f"Server0={tunnel} ", f"Server0={second_tunnel} ")
    open(f"{WORK}/second.ini", "w").write(text)
    second = start("second", [HEADLESS, "--config", f"{WORK}/second.ini"])
    wait_for(lambda: logged("second", f"Metrics endpoint cannot listen: cannot serve metrics on TCP 127.0.0.1:{metrics}"),
             5, "the second relay to tell the taken metrics port")
    play(second_tunnel)
    # The endpoint serves for the process's life: a reload says that a change takes a restart.
    text = open(ini).read().replace(f"Port={metrics}", f"Port={free_port('tcp')}")
    open(ini, "w").write(text)
    relay.send_signal(signal.SIGHUP)
    wait_for(lambda: logged("relay", f"Warning: metrics stay on http://127.0.0.1:{metrics}/metrics until the next start"),
             5, "the reload to tell that the endpoint stays")
    if b"gatewarden_relays{" not in urllib.request.urlopen(f"http://127.0.0.1:{metrics}/metrics", timeout=2).read():
        fail("the endpoint serves no relay figures after the reload")
    relay.send_signal(signal.SIGTERM)
    if relay.wait(10) != 0:
        fail(f"the relay stopped with status {relay.returncode}")
    wait_for(lambda: logged("second", f"Metrics on http://127.0.0.1:{metrics}/metrics"), 10,
             "the second relay's endpoint once the port was free")
    labels = f'tunnel="{second_tunnel}",kind="static"'
    expect(api, f'gatewarden_datagrams_total{{{labels},direction="to_server"}}', ROUND_TRIPS)
    if second.poll() is not None:
        fail(f"the second relay ended with status {second.returncode}")


def check_process_figures(api):
    """The figures every exporter has, and the version."""
    for name in ("process_cpu_seconds_total", "process_resident_memory_bytes", "process_open_fds", "process_max_fds"):
        wait_for(lambda: (query(api, name) or 0) > 0, 5, f"{name} above 0")
    started = query(api, "process_start_time_seconds")
    if started is None or abs(started - time.time()) > 120:
        fail(f"process_start_time_seconds is {started}, not within two minutes of now")
    version = subprocess.run([HEADLESS, "--version"], capture_output=True, text=True).stdout.split()[-1]
    expect(api, f'gatewarden_build_info{{version="{version}"}}', 1)


def check_dashboard_and_rules(api):
    """Every query of the dashboard reads and finds series of the relay; the rules loaded
    and, with every tunnel bound and no masters, none fires."""
    dashboard = json.load(open(os.path.join(DIST, "gatewarden-dashboard.json")))
    for panel in dashboard["panels"]:
        for target in panel["targets"]:
            expression = target["expr"].replace("$instance", ".*").replace("$__rate_interval", "1m")
            result = query_all(api, expression)
            if result is None:
                fail(f"panel '{panel['title']}': Prometheus does not read {expression}")
            if not result and "heartbeat" not in expression and "announced" not in expression \
                    and "answering" not in expression and "== 0" not in expression:
                fail(f"panel '{panel['title']}': {expression} finds no series")
    def rules():
        with urllib.request.urlopen(api.replace("query?query=", "rules"), timeout=2) as reply:
            return [rule for group in json.load(reply)["data"]["groups"] for rule in group["rules"]]

    gwtest.wait_for(lambda: all(rule["health"] != "unknown" for rule in rules()), 5, 0.2)
    rules = rules()
    if len(rules) < 5 or any(rule["health"] != "ok" for rule in rules):
        fail(f"the alert rules: {[(rule['name'], rule['health'], rule.get('lastError')) for rule in rules]}")
    firing = [rule["name"] for rule in rules if rule["state"] == "firing"]
    if firing:
        fail(f"alerts fire for a healthy relay: {firing}")


def fastpath():
    relay, _, tunnel, _, api = relay_and_prometheus(1)
    wait_for(lambda: logged("relay", "Fast path o"), 10, "the tunnel to tell of its fast path")
    if not logged("relay", "Fast path on for"):
        gwtest.skip(f"the fast path part: {[l for l in open(f'{WORK}/relay.log') if 'Fast path' in l]}")
    # The first datagram each way goes through the sockets, the others through the kernel,
    # which counts them in its table.
    sent = play(tunnel)
    prog = [l.split()[1] for info in glob.glob(f"/proc/{relay.pid}/fdinfo/*") for l in open(info) if "prog_id:" in l]
    try:
        table = json.loads(subprocess.check_output(["bpftool", "-j", "prog", "show", "id", prog[0]]))["map_ids"][0]
        entries = json.loads(subprocess.check_output(["bpftool", "-j", "map", "dump", "id", str(table)]))
        carried = sum(entry.get("formatted", entry)["value"]["datagrams"] for entry in entries)
        print(f"the kernel carried {carried} datagrams", flush=True)
        if carried < ROUND_TRIPS:
            fail(f"the kernel carried only {carried} datagrams of {2 * ROUND_TRIPS}")
    except (OSError, IndexError, KeyError, subprocess.CalledProcessError) as e:
        print(f"what the kernel carried is not checked (bpftool: {e})", flush=True)
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
