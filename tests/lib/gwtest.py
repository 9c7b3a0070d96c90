"""What the test and bench scripts share: free ports, the headless relay as a child process,
network namespaces, forged datagrams, and ctest's way of failing and skipping.

Scripts elsewhere load it by path, relative to their own file:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/lib"))
The shell library beside it (gwtest.sh) asks this one for free ports.
"""
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

SKIPPED = 77    # SKIP_RETURN_CODE of the tests registered with ctest


def skip(reason):
    print(f"skipped: {reason}", flush=True)
    sys.exit(SKIPPED)


def fail(text, logs=()):
    """Ends the script with status 1, after the text and the contents of each file of `logs`."""
    print("FAILED:", text, flush=True)
    for path in logs:
        with open(path, errors="replace") as f:
            print(f"--- {path}\n{f.read()}", flush=True)
    sys.exit(1)


def wait_for(check, seconds, every=0.05):
    """The first true value `check()` returns within `seconds`; None if none did."""
    deadline = time.monotonic() + seconds
    while True:
        value = check()
        if value or time.monotonic() >= deadline:
            return value or None
        time.sleep(every)


def free_port(kind="udp", address="0.0.0.0", pair=False):
    """A port free a moment ago ("udp" or "tcp"); with `pair`, one whose next port is free too
    (a tunnel and its query port)."""
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM if kind == "tcp" else socket.SOCK_DGRAM) as s:
            s.bind((address, 0))
            port = s.getsockname()[1]
            if not pair:
                return port
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as above:
                try:
                    above.bind((address, port + 1))
                    return port
                except OSError:
                    continue


def settings_text(sections):
    """A settings file's text from {section: {key: value}}."""
    return "".join(f"[{name}]\n" + "".join(f"{key}={value}\n" for key, value in keys.items())
                   for name, keys in sections.items())


class Relay:
    """The headless program on a settings file of its own (`settings`: {section: {key: value}}
    or the text), in `folder` (a new temporary one, removed at close, by default), its output
    in folder/relay.log. `wrapper` runs before it (`ip netns exec NS`, prlimit: each becomes the
    next program, so the pid is the relay's); `nofile` adds prlimit."""

    def __init__(self, binary, settings, folder=None, wrapper=(), nofile=None, name="relay"):
        self.own_folder = folder is None
        self.folder = tempfile.mkdtemp(prefix="gw-relay-") if folder is None else folder
        self.settings = os.path.join(self.folder, f"{name}.ini")
        with open(self.settings, "w") as f:
            f.write(settings if isinstance(settings, str) else settings_text(settings))
        if nofile:
            wrapper = list(wrapper) + ["prlimit", f"--nofile={nofile}:{nofile}", "--"]
        self.command = list(wrapper) + [binary, "--config", self.settings]
        self.log_path = os.path.join(self.folder, f"{name}.log")
        self.process = None

    def start(self, ready=("Tunnel open on",), within=10):
        """Starts it and waits until its log holds every text of `ready` (or until `ready()`
        holds, for a callable); raises RuntimeError with the log when it ends or the time is
        up first."""
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(self.command, stdout=log, stderr=subprocess.STDOUT)
        is_ready = ready if callable(ready) else lambda: self.logged(*ready)
        if not wait_for(lambda: is_ready() or self.process.poll() is not None, within) or not is_ready():
            self.stop()
            raise RuntimeError(f"the relay did not start:\n" + self.read_log().decode(errors="replace")[-3000:])
        return self

    @property
    def pid(self):
        return self.process.pid

    def read_log(self):
        with open(self.log_path, "rb") as f:
            return f.read()

    def logged(self, *texts):
        log = self.read_log().decode(errors="replace")
        return all(text in log for text in texts)

    def stop(self, within=10):
        """SIGTERM, then SIGKILL if it has not ended within `within` s; its exit status."""
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(within)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.returncode if self.process else None

    def close(self):
        self.stop()
        if self.own_folder:
            shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


class Namespaces:
    """Network namespaces of this process's own ("PREFIX-NAME-PID"), joined by veth pairs;
    close (or the end of a with block) kills whatever still runs in them and removes them."""

    def __init__(self, prefix):
        self.prefix, self.tag = prefix, os.getpid()
        self.ns = {}

    def ip(self, *args, ns=None):
        command = ["ip"] + (["-n", self.ns[ns]] if ns else []) + [str(a) for a in args]
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode:
            raise RuntimeError(f"{' '.join(command)}: {done.stderr.strip()}")

    def add(self, *names):
        for name in names:
            self.ns[name] = f"{self.prefix}-{name}-{self.tag}"
            self.ip("netns", "add", self.ns[name])
            self.ip("link", "set", "lo", "up", ns=name)

    def veth(self, a, device_a, address_a, b, device_b, address_b):
        """A veth pair between namespaces a and b, each end with its address (CIDR) and up."""
        self.ip("link", "add", device_a, "netns", self.ns[a], "type", "veth", "peer", "name", device_b,
                "netns", self.ns[b])
        for ns, device, address in ((a, device_a, address_a), (b, device_b, address_b)):
            self.ip("addr", "add", address, "dev", device, ns=ns)
            self.ip("link", "set", device, "up", ns=ns)

    def enter(self, name):
        # `ip netns exec` becomes the command, and mounts the namespace's own /sys for it.
        return ["ip", "netns", "exec", self.ns[name]]

    def close(self):
        for ns in self.ns.values():
            for pid in subprocess.run(["ip", "netns", "pids", ns], capture_output=True, text=True).stdout.split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except ProcessLookupError:
                    pass
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)
        self.ns = {}

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


# --- forged datagrams: whole IP datagrams sent through a raw socket ------------------------

def raw_socket(protocol=socket.IPPROTO_RAW, buffer=4 << 20):
    """A raw socket (root) with a send buffer of `buffer` bytes."""
    raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, protocol)
    raw.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, buffer)
    return raw


def ip_header(source, destination, total=0, options=b"", fragment=0, protocol=socket.IPPROTO_UDP):
    """An IPv4 header from address `source` to `destination`. With IPPROTO_RAW the system fills
    in a total length and identification of 0 and the header checksum."""
    return struct.pack("!BBHHHBBH4s4s", 0x45 + len(options) // 4, 0, total, 0, fragment, 64, protocol, 0,
                       socket.inet_aton(source), socket.inet_aton(destination)) + options


def udp_header(source_port, destination_port, payload_length):
    return struct.pack("!HHHH", source_port, destination_port, 8 + payload_length, 0)  # checksum 0: none


def forged(source, destination, payload):
    """The datagram `payload` from (address, port) `source` to `destination`, ready for a raw socket."""
    return bytearray(ip_header(source[0], destination[0]) + udp_header(source[1], destination[1], len(payload))
                     + payload)
