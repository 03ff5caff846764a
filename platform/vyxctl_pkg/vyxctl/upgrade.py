"""Sending an upgrade archive: "UPGR<size>", then chunks "UPGR:<bytes>"
each answered "OK\\r\\n"; the last chunk's OK means the burn has started.

The device only counts the bytes it has written, and says nothing of the
count, so a chunk whose reply never came cannot simply be sent again: if
the device had written it, the archive would hold it twice.  After a lost
reply the tool asks "UPGR?" (answered in order, behind any late OK): a late
OK confirms the chunk; a device still downloading without one is made to
start over with a new size announcement (which empties the archive), and
the whole archive is sent again; a device already burning took the last
chunk.  Nothing is ever written twice."""

import time

from .decode import OK, UPGRADE_STATES, parse_upgrade_status
from .wire import NoReply, Refused, shorten

CHUNK = 2035          # the command loop reads 2040 bytes: "UPGR:" + 2035
MIN_SIZE, MAX_SIZE = 11, 1000000000


def refusal(data: bytes, what: str):
    detail = data[2:].decode("latin-1").strip() if data.startswith(b"KO") else shorten(data)
    return Refused("%s: %s" % (what, detail or "refused"))


class Upgrade:
    def __init__(self, link, archive: bytes, reply_timeout=2.0, announce_timeout=90.0,
                 restarts=3, progress=None):
        self.link = link
        self.archive = archive
        self.reply_timeout = reply_timeout
        self.announce_timeout = announce_timeout
        self.max_restarts = restarts
        self.progress = progress or (lambda sent, total, note=None: None)
        self.restarts = 0
        self.late_replies = 0
        self.chunks_sent = 0

    # One exchange; None when nothing came in time.
    def exchange(self, data, timeout):
        self.link.send(data)
        return self.link.next(time.monotonic() + timeout)

    def status(self) -> int:
        """UPGR? -> state; plain OKs before its answer are counted in
        self.late (the replies of chunks that were slow, not lost)."""
        self.late = 0
        for _ in range(3):
            self.link.send("UPGR?")
            deadline = time.monotonic() + max(self.reply_timeout, 2.0)
            while True:
                data = self.link.next(deadline)
                if data is None:
                    break
                if data == OK:
                    self.late += 1
                    continue
                return parse_upgrade_status(data)
        raise NoReply("the device answers neither the upgrade nor UPGR?")

    def announce(self):
        size = len(self.archive)
        for _ in range(3):
            self.link.drain()
            # A first start waits for the disk remount (at least a second).
            reply = self.exchange("UPGR%d" % size, self.announce_timeout)
            if reply is None:
                continue  # announcing again is harmless: it starts afresh
            if reply == OK:
                return
            raise refusal(reply, "upgrade refused")
        raise NoReply("no answer to the upgrade announcement UPGR%d" % size)

    def run(self) -> dict:
        size = len(self.archive)
        if not MIN_SIZE <= size <= MAX_SIZE:
            raise Refused("an archive of %d bytes cannot be sent (%d to %d)"
                          % (size, MIN_SIZE, MAX_SIZE))
        state = self.status()
        if state == 2:
            raise Refused("the device is burning an archive already (UPGR? says %d)" % state)
        self.announce()
        offset = 0
        self.progress(0, size)
        while offset < size:
            piece = self.archive[offset:offset + CHUNK]
            last = offset + len(piece) == size
            reply = self.exchange(b"UPGR:" + piece, self.reply_timeout)
            self.chunks_sent += 1
            if reply is None:
                state = self.status()
                if self.late:
                    self.late_replies += 1
                    reply = OK          # answered, only late
                elif last and state == 2:
                    reply = OK          # it took the last chunk; the reply was lost
                else:
                    self.restart("no reply to the chunk at byte %d (state %s)"
                                 % (offset, UPGRADE_STATES.get(state, state)))
                    offset = 0
                    continue
            if reply != OK:
                raise refusal(reply, "upgrade failed at byte %d" % offset)
            offset += len(piece)
            self.progress(offset, size)
        return {"bytes": size, "chunks": self.chunks_sent, "restarts": self.restarts,
                "late_replies": self.late_replies}

    def restart(self, why: str):
        if self.restarts >= self.max_restarts:
            raise NoReply("%s; gave up after %d restarts" % (why, self.restarts))
        self.restarts += 1
        self.progress(0, len(self.archive), "%s: starting over (%d of %d)"
                      % (why, self.restarts, self.max_restarts))
        self.link.drain()
        self.announce()

    def wait_restart(self, timeout: float, every: float = 0.5) -> str:
        """After the last chunk: the device burns the archive and restarts.
        Asks UPGR? every `every` seconds (a device down for its restart
        loses the question, so asking again soon notices its return soon)
        until a new start answers it (state 0 again), or until `timeout`;
        returns "restarted", or "burning" when the device still burns then
        (a burner that does not restart on its own).  A late answer counts
        as well: each tells the state when it was asked."""
        deadline = time.monotonic() + timeout
        seen_burning = False
        self.link.drain()           # late answers of the download's UPGR? (state 1)
        while time.monotonic() < deadline:
            asked = time.monotonic()
            self.link.send("UPGR?")
            data = self.link.next(min(deadline, asked + every),
                                  accept=lambda d: d.startswith(b"UPGRSTATUS"))
            if data is None:
                continue        # down while it burns and restarts
            state = parse_upgrade_status(data)
            if state in (1, 2):     # burning; 1: a late answer from the download
                seen_burning = seen_burning or state == 2
                time.sleep(max(0.0, asked + every - time.monotonic()))
                continue
            if state in (3, 4):
                raise Refused("the device reports %s after the upgrade" % UPGRADE_STATES[state])
            return "restarted"
        if seen_burning:
            return "burning"
        raise NoReply("the device did not answer UPGR? within %gs of the upgrade" % timeout)
