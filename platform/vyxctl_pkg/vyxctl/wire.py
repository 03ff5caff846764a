"""The controller's side of the UDP command protocol: addresses, sockets,
one request and its reply, and the errors every subcommand reports.

Standard library only.  Every wait has a deadline; nothing here sleeps.
"""

import errno
import os
import re
import socket
import struct
import time

BEACON_GROUP = "239.255.250.250"
BEACON_PORT = 52428
BEACON_REQUEST_PORT = 52429
TX_PORT = 5000
RX_PORT = 2008
# The port this tool sends from.  The device answers some commands (scan
# progress, LAN?/SUB?, the guide) through a sender it aims once at the
# address and port that first asked, so a controller must keep its port.
CONTROL_PORT = 52430


# ------------------------------------------------------------------ errors
class CtlError(Exception):
    """A failure the tool reports in one line and an exit status."""
    status = 1


class Refused(CtlError):
    """The device answered, but refused (KO) or reported an error."""
    status = 1


class NoReply(CtlError):
    """Nothing came back within the timeout."""
    status = 3


class BadReply(CtlError):
    """A reply this tool cannot decode (truncated, junk, wrong command)."""
    status = 4


class LocalError(CtlError):
    """A file or socket of this host failed."""
    status = 5


EXIT_STATUSES = """exit statuses:
  0  done
  1  the device refused (KO) or reported a failure
  2  bad usage
  3  no reply within the timeout
  4  a reply that could not be decoded
  5  a local failure (file, socket)
  70 an internal error of this tool
  130 interrupted"""


# ---------------------------------------------------------------- escaping
def escape(data: bytes) -> str:
    """Bytes as printable text: ASCII as is, the rest as C escapes."""
    out = []
    for b in data:
        if b == 0x5C:
            out.append("\\\\")
        elif b == 0x0D:
            out.append("\\r")
        elif b == 0x0A:
            out.append("\\n")
        elif b == 0x09:
            out.append("\\t")
        elif b == 0:
            out.append("\\0")
        elif 0x20 <= b < 0x7F:
            out.append(chr(b))
        else:
            out.append("\\x%02x" % b)
    return "".join(out)


def unescape(text: str) -> bytes:
    """Inverse of escape(): decodes \\r \\n \\t \\0 \\\\ and \\xHH."""
    out = bytearray()
    i = 0
    raw = text.encode("latin-1")
    simple = {ord("r"): 13, ord("n"): 10, ord("t"): 9, ord("0"): 0, ord("\\"): 0x5C}
    while i < len(raw):
        c = raw[i]
        if c == 0x5C and i + 1 < len(raw):
            n = raw[i + 1]
            if n in simple:
                out.append(simple[n])
                i += 2
                continue
            hexdigits = raw[i + 2:i + 4]
            if n == ord("x") and len(hexdigits) == 2 and all(
                    chr(d) in "0123456789abcdefABCDEF" for d in hexdigits):
                out.append(int(hexdigits.decode(), 16))
                i += 4
                continue
        out.append(c)
        i += 1
    return bytes(out)


def shorten(data: bytes, limit: int = 80) -> str:
    text = escape(data)
    return text if len(text) <= limit else text[:limit - 3] + "..."


# --------------------------------------------------------------- addresses
def parse_hostport(text: str, default_port=None):
    """(host, port) from HOST:PORT (or HOST when a default port is given)."""
    host, sep, port = text.rpartition(":")
    if not sep:
        if default_port is None:
            raise ValueError("expected HOST:PORT, got %r" % text)
        host, port = text, str(default_port)
    if not host:
        raise ValueError("no host in %r" % text)
    try:
        value = int(port)
    except ValueError:
        raise ValueError("bad port in %r" % text)
    if not 0 < value < 65536:
        raise ValueError("port out of range in %r" % text)
    return host, value


def is_ipv4(text: str) -> bool:
    parts = text.split(".")
    return len(parts) == 4 and all(p.isdigit() and int(p) < 256 for p in parts)


def parse_group(text: str, default_port=None):
    """(group, port) of a multicast destination: GROUP:PORT or
    udp://@GROUP:PORT."""
    if text.startswith("udp://"):
        text = text[len("udp://"):].lstrip("@")
    group, port = parse_hostport(text, default_port)
    if not is_ipv4(group) or not 224 <= int(group.split(".")[0]) <= 239:
        raise ValueError("%r is not a multicast group" % group)
    return group, port


def resolve_device(text: str):
    """(ip, port or None) of a DEVICE argument: HOST[:PORT], or tx, rx,
    tx2... for the devices of a simulated world ($VYX_TX, $VYX_RX,
    $VYX_TX2...)."""
    alias = "VYX_" + text.upper() if re.fullmatch(r"(tx|rx)\d*", text) else None
    if alias and os.environ.get(alias):
        text = os.environ[alias]
    if ":" in text:
        host, port = parse_hostport(text)
    else:
        host, port = text, None
    try:
        ip = socket.gethostbyname(host)
    except OSError as e:
        raise LocalError("cannot resolve %s: %s" % (host, e))
    return ip, port


# ----------------------------------------------------------------- sockets
def join_group(group: str, port: int) -> socket.socket:
    """A socket that receives the datagrams of one group and port.  It is
    bound to the group address, not to any: a socket bound to any address
    would also get every other group joined on this host on the same port
    (two streams on port 1234 would be mixed in one recording)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((group, port))
    mreq = struct.pack("4s4s", socket.inet_aton(group), socket.inet_aton("0.0.0.0"))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
    return s


def receive(sock, deadline):
    """One datagram (data, addr), or None once the deadline has passed."""
    remaining = deadline - time.monotonic()
    if remaining <= 0:
        return None
    sock.settimeout(remaining)
    try:
        return sock.recvfrom(65535)
    except socket.timeout:
        return None


def is_unsolicited(data: bytes) -> bool:
    """Datagrams a device sends on its own to a controller that asked for
    them with CALLBACK1: log and error texts, IR keys, serial bytes."""
    return (data.startswith(b"LOG:") or (len(data) == 12 and data.startswith(b"REMOTE"))
            or (len(data) == 5 and data.startswith(b"UART")))


def bind_control(sock, sport=None) -> bool:
    """Binds `sock` to CONTROL_PORT (or `sport`; 0: any port).  When
    CONTROL_PORT is taken by another run of this tool it falls back to any
    port and returns True (the caller says so when an answer that goes to
    the first asker's port is missing)."""
    want = CONTROL_PORT if sport is None else sport
    try:
        sock.bind(("0.0.0.0", want))
        return False
    except OSError as e:
        if sport is not None or e.errno != errno.EADDRINUSE:
            sock.close()
            raise LocalError("cannot bind port %d: %s" % (want, e.strerror))
    sock.bind(("0.0.0.0", 0))
    return True


class Link:
    """The controller's socket towards one device.

    It sends from CONTROL_PORT unless told otherwise (sport 0: any port);
    when that port is taken by another run of this tool, it falls back to
    any port and `fallback` says so.  Replies are taken from the device's
    address whatever their source port (the device's forwarding sender
    uses a socket of its own).

    The exchanges (next, request, gather) rest on three primitives, send,
    drain and take; hub.HubLink replaces take and drain to read its
    device's share of a socket many links send from."""

    def __init__(self, ip: str, port: int, sport=None):
        self.ip, self.port = ip, port
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.fallback = bind_control(self.sock, sport)
        self.sport = self.sock.getsockname()[1]
        self.partial = []

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def dest(self):
        return (self.ip, self.port)

    def send(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        try:
            self.sock.sendto(data, self.dest)
        except OSError as e:
            raise LocalError("cannot send to %s:%d: %s" % (self.ip, self.port, e.strerror))

    def drain(self):
        """Drops datagrams already waiting (late replies of earlier steps)."""
        self.sock.setblocking(False)
        try:
            while True:
                self.sock.recvfrom(65535)
        except (BlockingIOError, InterruptedError):
            pass
        finally:
            self.sock.setblocking(True)

    def take(self, deadline):
        """The next datagram from the device's address, or None once the
        deadline has passed."""
        while True:
            got = receive(self.sock, deadline)
            if got is None:
                return None
            data, (ip, _) = got
            if ip == self.ip:
                return data

    def next(self, deadline, accept=None):
        """The next datagram from the device that accept(data) takes
        (default: anything but unsolicited datagrams), or None."""
        while True:
            data = self.take(deadline)
            if data is None:
                return None
            if accept is None:
                if not is_unsolicited(data):
                    return data
            elif accept(data):
                return data

    def request(self, text, timeout: float, accept=None, what=None):
        """Sends one command and returns the first reply; raises NoReply."""
        self.drain()
        self.send(text)
        reply = self.next(time.monotonic() + timeout, accept)
        if reply is None:
            shown = text if isinstance(text, str) else escape(text)
            raise NoReply("%s:%d did not answer %s within %gs"
                          % (self.ip, self.port, what or repr(shown[:40]), timeout))
        return reply

    def gather(self, deadline, done):
        """Datagrams from the device until done(list) is true; None when the
        deadline comes first (with what had arrived in self.partial)."""
        got = []
        self.partial = got
        while not done(got):
            data = self.next(deadline)
            if data is None:
                return None
            got.append(data)
        return got


def probe_port(ip: str, timeout: float = 2.0):
    """The command port of a device given without one: the first of 5000
    and 2008 that answers VERS."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind(("0.0.0.0", 0))
        deadline = time.monotonic() + timeout
        next_try = 0.0
        while True:
            now = time.monotonic()
            if now >= deadline:
                raise NoReply("%s answers VERS on neither port %d nor %d (give HOST:PORT)"
                              % (ip, TX_PORT, RX_PORT))
            if now >= next_try:
                for port in (TX_PORT, RX_PORT):
                    s.sendto(b"VERS", (ip, port))
                next_try = now + 0.5
            got = receive(s, min(deadline, next_try))
            if got and got[1][0] == ip and got[0].startswith(b"VERS"):
                return got[1][1]
    finally:
        s.close()
