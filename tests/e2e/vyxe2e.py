"""Helpers of the end-to-end tests and the demo.

They run on the controller host of a world made by `platform/devsim run`,
which sets VYX_TX / VYX_RX (device command endpoints), VYX_WORLD (the world
directory with each host's logs) and VYX_TIME_SCALE.  Standard library only.

Nothing here sleeps and hopes: every wait is a poll with a deadline.
"""

import json
import os
import re
import select
import socket
import struct
import subprocess
import threading
import time
import unittest

BEACON_GROUP = "239.255.250.250"
BEACON_PORT = 52428
BEACON_REQUEST_PORT = 52429
HOST_IPS = {"tx": "10.77.0.2", "rx": "10.77.0.3", "controller": "10.77.0.10"}
VERSION_REPLY = b"VERS0.82.14OK\r\n"
OK = b"OK\r\n"
KO = b"KO\r\n"

# Lines of a sanitizer report in a device's stderr.log.
SANITIZER_PATTERNS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


def time_scale() -> float:
    try:
        return max(float(os.environ.get("VYX_TIME_SCALE", "1")), 1e-3)
    except ValueError:
        return 1.0


def world_dir() -> str:
    world = os.environ.get("VYX_WORLD")
    if not world:
        raise RuntimeError("VYX_WORLD is not set: run this under `platform/devsim run`")
    return world


def device(host: str):
    """(ip, port) of a device's command server: host is 'tx', 'rx', 'tx2'..."""
    value = os.environ.get("VYX_" + host.upper())
    if not value:
        raise RuntimeError("no %s device in this world (devsim run --%s)" % (host, host))
    ip, _, port = value.rpartition(":")
    return ip, int(port)


def has_device(host: str) -> bool:
    return bool(os.environ.get("VYX_" + host.upper()))


def world_hosts():
    """Every device host of the world: [(host, role letter, "ip:port")]."""
    try:
        with open(os.path.join(world_dir(), "devices")) as f:
            return [tuple(line.split()) for line in f if line.strip()]
    except FileNotFoundError:
        return [(h, h[0].upper(), os.environ["VYX_" + h.upper()]) for h in ("tx", "rx")
                if has_device(h)]


class Timeout(AssertionError):
    pass


def poll(fn, timeout: float, what: str = "a condition", interval: float = 0.05):
    """Calls fn until it returns something true; returns that value.
    Raises Timeout (an AssertionError) when `timeout` seconds pass first."""
    deadline = time.monotonic() + timeout
    while True:
        value = fn()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Timeout("timed out after %gs waiting for %s" % (timeout, what))
        time.sleep(interval)


# ------------------------------------------------------------------ network
class Controller:
    """A controller's UDP socket with a fixed source port: replies, error and
    log datagrams of CALLBACK1 all come back to it."""

    def __init__(self, port: int = 0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("0.0.0.0", port))
        self.port = self.sock.getsockname()[1]

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send(self, dest, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        self.sock.sendto(data, dest)

    def recv(self, timeout: float):
        """(data, (ip, port)) of the next datagram, or None after timeout."""
        self.sock.settimeout(max(timeout, 1e-3))
        try:
            return self.sock.recvfrom(65535)
        except socket.timeout:
            return None

    def drain(self):
        """Drops datagrams already waiting (late replies of earlier steps)."""
        self.sock.setblocking(False)
        try:
            while True:
                self.sock.recvfrom(65535)
        except BlockingIOError:
            pass
        finally:
            self.sock.setblocking(True)

    def collect(self, timeout: float, until=None):
        """Datagram payloads arriving within timeout; stops early once
        until(list_so_far) is true."""
        got = []
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return got
            item = self.recv(remaining)
            if item is None:
                return got
            got.append(item[0])
            if until is not None and until(got):
                return got

    def command(self, dest, text, timeout: float = 5.0, accept=None):
        """Sends one command and returns the first datagram from dest that
        accept(data) takes (default: any that is not a log datagram), or
        None when none comes within timeout."""
        if accept is None:
            def accept(data):
                return not data.startswith(b"LOG:")
        self.drain()
        self.send(dest, text)
        deadline = time.monotonic() + timeout
        while True:
            item = self.recv(deadline - time.monotonic())
            if item is None:
                return None
            data, src = item
            if src == dest and accept(data):
                return data

    def guide(self, dest, text, timeout: float = 5.0):
        """Sends a guide query ("EITN...", "EITL...", "EITI...") and returns
        its answer: the first EITI datagram from dest's address (the tuner
        forwarding answers from its own port), or None."""
        self.drain()
        self.send(dest, text)
        deadline = time.monotonic() + timeout
        while True:
            item = self.recv(deadline - time.monotonic())
            if item is None:
                return None
            data, src = item
            if src[0] == dest[0] and data.startswith(b"EITI"):
                return data


class LossyRelay:
    """A UDP relay on the controller host, between one controller and one
    device, that loses chosen datagrams: the controller talks to
    relay.address, the relay forwards to the device and the replies back.
    lose(direction, n, data) -> True drops the n-th datagram (1-based) of
    that direction ("request" or "reply").  The lost ones are kept in
    `lost` as (direction, n, data)."""

    def __init__(self, dest, lose):
        self.dest, self.lose = dest, lose
        self.front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.front.bind(("127.0.0.1", 0))
        self.back = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.back.bind(("0.0.0.0", 0))
        self.address = self.front.getsockname()
        self.counts = {"request": 0, "reply": 0}
        self.lost = []
        self.client = None
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def passes(self, direction, data) -> bool:
        self.counts[direction] += 1
        if self.lose(direction, self.counts[direction], data):
            self.lost.append((direction, self.counts[direction], data))
            return False
        return True

    def run(self):
        while self.running:
            ready, _, _ = select.select([self.front, self.back], [], [], 0.1)
            for sock in ready:
                data, src = sock.recvfrom(65535)
                if sock is self.front:
                    self.client = src
                    if self.passes("request", data):
                        self.back.sendto(data, self.dest)
                elif src[0] == self.dest[0] and self.client and self.passes("reply", data):
                    self.front.sendto(data, self.client)

    def close(self):
        self.running = False
        self.thread.join()
        self.front.close()
        self.back.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def join_group(group: str, port: int) -> socket.socket:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", port))
    mreq = struct.pack("4s4s", socket.inet_aton(group), socket.inet_aton("0.0.0.0"))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
    return s


def beacons(sources, timeout: float, poke: bool = True):
    """Listens on the beacon group until one beacon from each address in
    `sources` arrived; returns {ip: payload}.  With poke, restart requests go
    to port 52429 every 2 s so that the devices announce themselves now
    (otherwise a device that is being commanded stays quiet).  Raises Timeout
    when some source stays silent."""
    listener = join_group(BEACON_GROUP, BEACON_PORT)
    requester = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    requester.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 4)
    found = {}
    deadline = time.monotonic() + timeout
    next_poke = time.monotonic()
    try:
        while set(sources) - set(found):
            now = time.monotonic()
            if now >= deadline:
                raise Timeout("no beacon from %s within %gs"
                              % (", ".join(sorted(set(sources) - set(found))), timeout))
            if poke and now >= next_poke:
                requester.sendto(b"VYX?", (BEACON_GROUP, BEACON_REQUEST_PORT))
                next_poke = now + 2.0
            listener.settimeout(max(min(deadline, next_poke if poke else deadline) - now, 1e-3))
            try:
                data, (ip, _) = listener.recvfrom(65535)
            except socket.timeout:
                continue
            if ip in sources and ip not in found:
                found[ip] = data
        return found
    finally:
        listener.close()
        requester.close()


def upgrade_chunks(archive: bytes, size: int = 2035):
    """The "UPGR:" datagrams that carry an upgrade archive, `size` bytes each
    (the last one shorter); 2035 is what the command loop's 2040-byte
    receive limit leaves after "UPGR:"."""
    for off in range(0, len(archive), size):
        yield b"UPGR:" + archive[off:off + size]


# --------------------------------------------------------------- host files
def host_dir(host: str) -> str:
    return os.path.join(world_dir(), host)


def read_text(host: str, name: str) -> str:
    try:
        with open(os.path.join(host_dir(host), name), "rb") as f:
            return f.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return ""


def read_jsonl(host: str, name: str):
    """Objects of a stand-in's JSON-lines log (a line still being written is
    skipped)."""
    out = []
    for line in read_text(host, name).splitlines():
        line = line.strip()
        if not line:
            continue
        try:
            out.append(json.loads(line))
        except ValueError:
            continue
    return out


def wait_for_text(host: str, name: str, pattern, timeout: float, start: int = 0):
    """Polls a host log until the regular expression `pattern` matches at or
    after character offset `start`; returns the match."""
    regex = re.compile(pattern)
    return poll(lambda: regex.search(read_text(host, name), start), timeout,
                "/%s/ in %s/%s" % (pattern, host, name))


class SerialEnd:
    """The far end of a device host's serial port (its /dev/ttyS0): bytes
    written here reach the device, bytes the device writes arrive here from
    the moment of connecting."""

    def __init__(self, host: str, timeout: float = 10.0):
        path = os.path.join(host_dir(host), "serial.sock")

        def connects():
            return [e for e in read_jsonl(host, "serial.jsonl") if e.get("event") == "connect"]
        before = len(connects())
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)

        def connect():
            try:
                self.sock.connect(path)
                return True
            except (FileNotFoundError, ConnectionRefusedError):
                return False
        poll(connect, timeout, "the serial end of %s" % host)
        # Bytes count from the moment the far end has taken the connection.
        poll(lambda: len(connects()) > before, timeout, "the serial end of %s to answer" % host)

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def write(self, data: bytes):
        self.sock.sendall(data)

    def read(self, count: int, timeout: float) -> bytes:
        """Up to `count` bytes, whatever arrived when `timeout` passes."""
        got = b""
        deadline = time.monotonic() + timeout
        while len(got) < count:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                break
            self.sock.settimeout(remaining)
            try:
                chunk = self.sock.recv(count - len(got))
            except socket.timeout:
                break
            if not chunk:
                break
            got += chunk
        return got


def standin_pid(host, name):
    """The pid of a process of a device host by its name (comm), e.g. the
    agent stand-in or the media player."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % entry) as f:
                if f.read().strip() != name:
                    continue
            with open("/proc/%s/environ" % entry, "rb") as f:
                if b"VYX_HOST=%s\0" % host.encode() in f.read():
                    return int(entry)
        except OSError:
            continue
    raise AssertionError("no %s process in host %s" % (name, host))


def sanitizer_errors(host: str):
    """Lines of sanitizer reports in the host's stderr.log."""
    return [line for line in read_text(host, "stderr.log").splitlines()
            if any(p in line for p in SANITIZER_PATTERNS)]


def exec_host(host: str, *cmd, timeout: float = 60, check: bool = True):
    """Runs a command inside a device host (devsim exec); returns the
    CompletedProcess with text output."""
    devsim = os.environ.get("DEVSIM", "devsim")
    result = subprocess.run([devsim, "exec", host, "--", *cmd], capture_output=True,
                            text=True, timeout=timeout)
    if check and result.returncode != 0:
        raise AssertionError("devsim exec %s %s failed (%d): %s"
                             % (host, " ".join(cmd), result.returncode, result.stderr))
    return result


def standin_pid(host: str, name: str) -> int:
    """The pid of stand-in `name` (its process name) running in `host`."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % entry) as f:
                if f.read().strip() != name:
                    continue
            with open("/proc/%s/environ" % entry, "rb") as f:
                if b"VYX_HOST=%s\0" % host.encode() in f.read():
                    return int(entry)
        except OSError:
            continue
    raise AssertionError("no %s process in host %s" % (name, host))


def host_mac(host: str) -> str:
    """The host's eth0 MAC as 12 lower-case hex digits."""
    text = exec_host(host, "cat", "/sys/class/net/eth0/address").stdout.strip()
    return text.replace(":", "").lower()


def expected_beacon(host: str, mac12: str) -> bytes:
    if host == "tx":
        model = "VYX_IPTV_TX_QAM"
    else:
        model = "VYX_IPTV_RX_HD"
    return ("VYXB<Device-UUID=%s-%s><Device-SDKClass=SettopBox><Device-Make=VYX-Morvane>"
            "<Device-Model=%s><Device-Revision=0.82.14>\r\n" % (model, mac12, model)).encode()


# -------------------------------------------------------------------- tests
class DeviceTestCase(unittest.TestCase):
    """Base of the end-to-end test cases: at the end of the class, no device
    of the world may have printed a sanitizer error."""

    @classmethod
    def tearDownClass(cls):
        for host, _, _ in world_hosts():
            errors = sanitizer_errors(host)
            if errors:
                raise AssertionError("%s/stderr.log has sanitizer errors:\n%s"
                                     % (host, "\n".join(errors[:20])))

    def assertReply(self, host, text, expected, timeout=5.0, ctl=None):
        own = ctl is None
        ctl = ctl or Controller()
        try:
            got = ctl.command(device(host), text, timeout)
        finally:
            if own:
                ctl.close()
        shown = text if len(text) < 60 else text[:57] + "..."
        self.assertEqual(got, expected, "%s: reply to %r" % (host, shown))


class StreamedGuideTestCase(DeviceTestCase):
    """The transmitter streams channel 5 to 239.1.1.1:1234 for the whole class,
    asked by one controller (the guide's forwarding keeps the first asker).
    A subclass names NOW, the TIME reply once the stream's STT has come, and
    READY, a (query, answer, what) guide answer that says its guide is in."""

    NOW = None
    READY = None

    @classmethod
    def setUpClass(cls):
        cls.ctl = Controller()
        tx = device("tx")
        assert cls.ctl.command(tx, "UNIT1,239.1.1.1,1234,5", 30) == OK
        poll(lambda: cls.ctl.command(tx, "TIME", 2.0) == cls.NOW, 30, "the stream's STT")
        query, answer, what = cls.READY
        poll(lambda: cls.ctl.guide(tx, query, 2.0) == answer, 30, what)

    @classmethod
    def tearDownClass(cls):
        try:
            cls.ctl.command(device("tx"), "UNIT0", 30)
            cls.ctl.close()
        finally:
            super().tearDownClass()

    def ask(self, text):
        """The answer to a guide query (from the forwarding), or a command's reply."""
        if text.upper().startswith("EIT"):
            return self.ctl.guide(device("tx"), text, 5.0)
        return self.ctl.command(device("tx"), text, 5.0)


# -------------------------------------------------------------------- scans
SCAN_DONE = b"BLINDCMP:0 OK\r\n"
SCAL_END = b"ffff\r\nOK\r\n\x00"
RESULTS_FILE = "hd1/vyx_scan_results"


def scan_progress(ctl, timeout: float, last: bytes = SCAN_DONE):
    """Progress datagrams of a scan (log datagrams left out) up to and
    including `last`.  The device sends them to the controller that first
    asked it for a scan-related command since it started: keep using the same
    Controller for every scan of a world."""
    got = ctl.collect(timeout, lambda g: g[-1] == last)
    return [d for d in got if not d.startswith(b"LOG:")]


def scan_status(host: str, ctl=None):
    """The 4 raw bytes of "SCA?": 0, current channel, channels found, state
    (0 idle, 2 scanning, 5 done, 0xff failed)."""
    own = ctl is None
    ctl = ctl or Controller()
    try:
        return ctl.command(device(host), "SCA?", 5.0, accept=lambda d: len(d) == 4)
    finally:
        if own:
            ctl.close()


def channel_list(host: str, ctl=None, timeout: float = 10.0):
    """Sends "SCAL"; returns (datagrams, lines): the datagrams as they came
    (the last ends with "ffff\\r\\nOK\\r\\n" and a zero byte) and the SCAL lines
    as text, each with its "\\r\\n".  Raises Timeout without the end mark."""
    own = ctl is None
    ctl = ctl or Controller()
    try:
        ctl.drain()
        ctl.send(device(host), "SCAL")
        datagrams = ctl.collect(timeout, lambda g: g[-1].endswith(SCAL_END))
        datagrams = [d for d in datagrams if d.startswith(b"SCAL ") or d.endswith(SCAL_END)]
        if not datagrams or not datagrams[-1].endswith(SCAL_END):
            raise Timeout("no complete channel list from %s within %gs" % (host, timeout))
        text = b"".join(datagrams)[:-len(SCAL_END)].decode("latin-1")
        lines = [line + "\r\n" for line in text.split("\r\n")[:-1]]
        return datagrams, lines
    finally:
        if own:
            ctl.close()


def restart_device(host: str, timeout: float = 60.0):
    """RESET, then waits until a new player has loaded the plug-in and it
    answers "VERS" again."""
    before = read_text(host, "player.pid").strip()
    with Controller() as ctl:
        if ctl.command(device(host), "RESET", 5.0) != OK:
            raise AssertionError("%s did not accept RESET" % host)
        poll(lambda: read_text(host, "player.pid").strip() not in ("", before), timeout,
             "a new player on %s" % host)
        poll(lambda: ctl.command(device(host), "VERS", 1.0) == VERSION_REPLY, timeout,
             "VERS from %s after the restart" % host)


def main():
    unittest.main(verbosity=2)
