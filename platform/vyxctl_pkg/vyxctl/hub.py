"""One controller socket shared by many devices, and the device list of a
fleet (beacons, or the DEVICE texts given).

Devices send some answers (scan progress, the guide) to the address and port
that first asked them, so a controller talking to many devices at once must
keep one port for all of them: the hub owns it and hands each device's
datagrams to that device's link.
"""

import errno
import queue
import socket
import threading
import time

from . import decode
from .wire import (BEACON_GROUP, BEACON_PORT, BEACON_REQUEST_PORT, CONTROL_PORT, BadReply,
                   LocalError, NoReply, RX_PORT, TX_PORT, is_unsolicited, join_group, receive,
                   resolve_device, probe_port)


class Hub:
    def __init__(self, sport=None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        want = CONTROL_PORT if sport is None else sport
        self.fallback = False
        try:
            self.sock.bind(("0.0.0.0", want))
        except OSError as e:
            if sport is not None or e.errno != errno.EADDRINUSE:
                self.sock.close()
                raise LocalError("cannot bind port %d: %s" % (want, e.strerror))
            self.sock.bind(("0.0.0.0", 0))
            self.fallback = True
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
            self.queues.setdefault(ip, queue.Queue())
        return HubLink(self, ip, port)

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class HubLink:
    """What wire.Link offers (send, next, request, drain, gather), over the
    hub's shared socket."""

    def __init__(self, hub: Hub, ip: str, port: int):
        self.hub, self.ip, self.port = hub, ip, port
        self.sport, self.fallback = hub.sport, hub.fallback
        self.q = hub.queues[ip]
        self.partial = []

    @property
    def dest(self):
        return (self.ip, self.port)

    def close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        pass

    def send(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        try:
            self.hub.sock.sendto(data, self.dest)
        except OSError as e:
            raise LocalError("cannot send to %s:%d: %s" % (self.ip, self.port, e.strerror))

    def drain(self):
        try:
            while True:
                self.q.get_nowait()
        except queue.Empty:
            pass

    def next(self, deadline, accept=None):
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return None
            try:
                data = self.q.get(timeout=remaining)
            except queue.Empty:
                return None
            if accept is None:
                if not is_unsolicited(data):
                    return data
            elif accept(data):
                return data

    def request(self, text, timeout: float, accept=None, what=None):
        self.drain()
        self.send(text)
        reply = self.next(time.monotonic() + timeout, accept)
        if reply is None:
            raise NoReply("%s:%d did not answer %s within %gs"
                          % (self.ip, self.port, what or repr(str(text)[:40]), timeout))
        return reply

    def gather(self, deadline, done):
        got = []
        self.partial = got
        while not done(got):
            data = self.next(deadline)
            if data is None:
                return None
            got.append(data)
        return got


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
