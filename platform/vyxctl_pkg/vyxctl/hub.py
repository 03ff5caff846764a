"""One controller socket shared by many devices, and the device list of a
fleet (beacons, or the DEVICE texts given).

Devices send some answers (scan progress, the guide) to the address and port
that first asked them, so a controller talking to many devices at once must
keep one port for all of them: the hub owns it and hands each device's
datagrams to that device's link.
"""

import queue
import socket
import threading
import time

from . import decode
from .wire import (BEACON_GROUP, BEACON_PORT, BEACON_REQUEST_PORT, BadReply, Link, NoReply,
                   RX_PORT, TX_PORT, bind_control, is_ipv4, join_group, receive, resolve_device,
                   probe_port)


class Hub:
    def __init__(self, sport=None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.fallback = bind_control(self.sock, sport)
        self.sport = self.sock.getsockname()[1]
        self.queues = {}
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        self.sock.settimeout(0.2)
        while self.running:
            try:
                data, (ip, _) = self.sock.recvfrom(65535)
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                q = self.queues.get(ip)
            if q is not None:
                q.put(data)

    def link(self, ip: str, port: int) -> "HubLink":
        with self.lock:
            q = self.queues.setdefault(ip, queue.Queue())
        return HubLink(self, ip, port, q)

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class HubLink(Link):
    """A wire.Link over the hub's shared socket: it sends from that socket
    and takes its device's datagrams from the queue the hub fills.  Closing
    it leaves the socket to the hub."""

    def __init__(self, hub: Hub, ip: str, port: int, q: queue.Queue):
        self.hub, self.ip, self.port, self.q = hub, ip, port, q
        self.sock, self.sport, self.fallback = hub.sock, hub.sport, hub.fallback
        self.partial = []

    def close(self):
        pass

    def drain(self):
        try:
            while True:
                self.q.get_nowait()
        except queue.Empty:
            pass

    def take(self, deadline):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return None
        try:
            return self.q.get(timeout=remaining)
        except queue.Empty:
            return None


def beacon_devices(timeout: float) -> list:
    """Every device that announces itself within `timeout` (asked to, on
    port 52429): [{"address", "port", "role", "mac", "version", ...}]."""
    listener = join_group(BEACON_GROUP, BEACON_PORT)
    poke = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    poke.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 4)
    found = {}
    deadline = time.monotonic() + timeout
    next_poke = time.monotonic()
    try:
        while time.monotonic() < deadline:
            if time.monotonic() >= next_poke:
                poke.sendto(b"VYX?", (BEACON_GROUP, BEACON_REQUEST_PORT))
                next_poke = time.monotonic() + 1.0
            got = receive(listener, min(deadline, next_poke))
            if got is None:
                continue
            data, (ip, _) = got
            try:
                info = decode.parse_beacon(data)
            except BadReply:
                continue
            found[ip] = {"address": ip, "role": info["role"], "mac": info["mac"],
                         "version": info["version"], "model": info["model"],
                         "port": TX_PORT if info["role"] == "transmitter" else RX_PORT}
    finally:
        listener.close()
        poke.close()
    return sorted(found.values(), key=lambda d: socket.inet_aton(d["address"]))


def host_names(path="/etc/hosts") -> dict:
    """{address: its first name} from the hosts file (no name service is
    asked: a LAN without one would make every lookup wait)."""
    names = {}
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                fields = line.split("#", 1)[0].split()
                if len(fields) >= 2 and is_ipv4(fields[0]):
                    names.setdefault(fields[0], fields[1])
    except OSError:
        pass
    return names


def select_devices(devices: str, timeout: float, role=None) -> list:
    """DEVICES: "all", a role ("transmitter"/"tx", "receiver"/"rx"s), or a
    comma-separated list of DEVICE texts.  Returns [(name, ip, port)]."""
    roles = {"transmitters": "transmitter", "transmitter": "transmitter", "receivers": "receiver",
             "receiver": "receiver", "all": None}
    if devices in roles:
        want = roles[devices] or role
        found = beacon_devices(timeout)
        devs = [(d["address"], d["address"], d["port"]) for d in found
                if want is None or d["role"] == want]
        if not devs:
            raise NoReply("no %s announced itself within %gs" % (want or "device", timeout))
        return devs
    out = []
    for name in [n for n in devices.split(",") if n]:
        ip, port = resolve_device(name)
        if port is None:
            port = probe_port(ip, min(timeout, 3.0))
        out.append((name, ip, port))
    return out


def run_parallel(items, work, parallel: int, done=None) -> list:
    """work(item) for every item, at most `parallel` at a time; returns
    [(item, result, error)] in the items' order.  done(item, result, error)
    is called as each ends (progress)."""
    items = list(items)
    results = [None] * len(items)
    lock = threading.Lock()
    nxt = [0]

    def worker():
        while True:
            with lock:
                if nxt[0] >= len(items):
                    return
                i = nxt[0]
                nxt[0] += 1
            try:
                res, err = work(items[i]), None
            except Exception as e:  # reported per device; the others go on
                res, err = None, e
            results[i] = (items[i], res, err)
            if done:
                with lock:
                    done(items[i], res, err)
    threads = [threading.Thread(target=worker, daemon=True)
               for _ in range(max(1, min(parallel, len(items))))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results
