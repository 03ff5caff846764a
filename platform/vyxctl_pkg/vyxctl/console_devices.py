"""The console's picture of the head-end: every device heard by its beacon
(or named on the command line), kept fresh by polling VERS and STATUS, and
the locks that keep the console's own commands from tripping over each
other.

Commands whose answers come back directly (VERS, STATUS, IP?, UNIT, LANG,
RESET, UPGR) go from any free port.  Answers a device forwards (scan
progress, LAN?, the guide) go to the address and port that first asked, so
those are sent from vyxctl's own port, one at a time (FORWARD_LOCK)."""

import socket
import threading
import time

from . import decode
from .wire import (BEACON_GROUP, BEACON_PORT, BEACON_REQUEST_PORT, RX_PORT, TX_PORT, BadReply,
                  CtlError, Link, NoReply, join_group, probe_port, receive,
                  resolve_device)

FORWARD_LOCK = threading.Lock()
POLL_EVERY = 2.0          # seconds between VERS checks of one device
STATUS_EVERY = 4.0        # seconds between STATUS reads of one device
SILENT_AFTER = 5.0        # a device that answered nothing this long is marked


def short_error(e: Exception) -> str:
    """The one-line message shown beside what failed."""
    kind = {NoReply: "no reply", BadReply: "not understood"}.get(type(e), "refused")
    if not isinstance(e, CtlError):
        kind = "failed"
    return "%s: %s" % (kind, e)


class Device:
    def __init__(self, ip: str, port: int, role: str = "unknown"):
        self.ip, self.port, self.role = ip, port, role
        self.model = self.version = self.mac = ""
        self.beacon_at = None       # monotonic time of the last beacon
        self.answered_at = None     # monotonic time of the last reply
        self.status = None          # decoded STATUS
        self.network = None         # decoded IP?
        self.error = None           # the last poll's failure, short
        self.lock = threading.Lock()   # one command at a time to this device
        self.next_status = 0.0

    @property
    def key(self) -> str:
        return "%s:%d" % (self.ip, self.port)

    def link(self) -> Link:
        return Link(self.ip, self.port, 0)

    def view(self, now: float) -> dict:
        heard = max([t for t in (self.beacon_at, self.answered_at) if t is not None],
                    default=None)
        silent = self.answered_at is None or now - self.answered_at > SILENT_AFTER
        return {"key": self.key, "address": self.ip, "port": self.port, "role": self.role,
                "model": self.model, "version": self.version, "mac": self.mac,
                "last_heard": None if heard is None else round(now - heard, 1),
                "beacon_age": None if self.beacon_at is None else round(now - self.beacon_at, 1),
                "status": self.status, "network": self.network, "error": self.error,
                "silent": silent}


class Registry:
    """Devices by "ip:port", a beacon listener and a poller thread."""

    def __init__(self, seeds=(), poke_every: float = 30.0):
        self.devices = {}
        self.mutex = threading.Lock()
        self.poke_every = poke_every
        self.running = True
        for text in seeds:
            self.add_seed(text)

    def add_seed(self, text: str):
        try:
            ip, port = resolve_device(text)
        except CtlError:
            return
        if port is None:
            try:
                port = probe_port(ip, 2.0)
            except CtlError:
                return
        role = "transmitter" if port == TX_PORT else "receiver" if port == RX_PORT else "unknown"
        self.add(ip, port, role)

    def add(self, ip: str, port: int, role: str) -> Device:
        with self.mutex:
            d = self.devices.get("%s:%d" % (ip, port))
            if d is None:
                d = Device(ip, port, role)
                self.devices[d.key] = d
            elif role != "unknown":
                d.role = role
            return d

    def get(self, key: str) -> Device:
        with self.mutex:
            return self.devices.get(key)

    def all(self, role=None) -> list:
        with self.mutex:
            found = list(self.devices.values())
        found.sort(key=lambda d: (socket.inet_aton(d.ip), d.port))
        return [d for d in found if role is None or d.role == role]

    def views(self) -> list:
        now = time.monotonic()
        return [d.view(now) for d in self.all()]

    def start(self):
        for target in (self.listen_beacons, self.poll_devices):
            threading.Thread(target=target, daemon=True).start()

    def stop(self):
        self.running = False

    # ------------------------------------------------------------- beacons
    def listen_beacons(self):
        try:
            listener = join_group(BEACON_GROUP, BEACON_PORT)
        except OSError:
            return      # no multicast here: the seeds are all there is
        poke = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        poke.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 4)
        next_poke = 0.0
        while self.running:
            now = time.monotonic()
            if now >= next_poke:
                try:
                    poke.sendto(b"VYX?", (BEACON_GROUP, BEACON_REQUEST_PORT))
                except OSError:
                    pass
                next_poke = now + self.poke_every
            got = receive(listener, min(next_poke, now + 1.0))
            if got is not None:
                self.heard(*got)

    def heard(self, data: bytes, addr):
        try:
            info = decode.parse_beacon(data)
        except BadReply:
            return
        port = TX_PORT if info["role"] == "transmitter" else RX_PORT
        d = self.add(addr[0], port, info["role"])
        d.beacon_at = time.monotonic()
        d.model, d.mac = info["model"], info["mac"]
        d.version = d.version or info["version"]

    # ------------------------------------------------------------- polling
    def poll_devices(self):
        while self.running:
            started = time.monotonic()
            threads = [threading.Thread(target=self.poll_one, args=(d,), daemon=True)
                       for d in self.all()]
            for t in threads:
                t.start()
            for t in threads:
                t.join(10.0)
            time.sleep(max(0.2, POLL_EVERY - (time.monotonic() - started)))

    def poll_one(self, d: Device):
        # A device busy with one of the console's commands is alive: its
        # command's reply says so.
        if not d.lock.acquire(blocking=False):
            return
        try:
            with d.link() as link:
                d.version = decode.parse_vers(link.request("VERS", 1.0))
                d.answered_at = time.monotonic()
                if time.monotonic() >= d.next_status:
                    # STATUS samples the CPU for a second before answering.
                    st = decode.parse_status(link.request("STATUS", 3.0))
                    d.status, d.role = st, st["role"]
                    d.answered_at = time.monotonic()
                    d.next_status = d.answered_at + STATUS_EVERY
                    if d.network is None:
                        try:
                            d.network = decode.parse_ip(link.request("IP?", 2.0))
                        except CtlError:
                            pass
            d.error = None
        except CtlError as e:
            d.error = short_error(e)
        except OSError as e:
            d.error = "failed: %s" % e
        finally:
            d.lock.release()

    def command(self, d: Device, text: str, timeout: float, what: str) -> bytes:
        """One command to a device, after any other of the console's."""
        with d.lock:
            with d.link() as link:
                reply = link.request(text, timeout, what=what)
            d.answered_at = time.monotonic()
            return reply

    def refresh_status(self, d: Device):
        d.next_status = 0.0
