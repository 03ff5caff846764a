"""Progress of a blind scan and of an upgrade, as state fed by what the
device says, and the bar drawn from it; the loop that follows a scan."""

import time

from . import decode
from .wire import NoReply, Refused

# Tuner channels a scan walks, by tuner mode.
CHANNEL_RANGES = {"ATSC": (2, 69), "QAM64": (1, 158), "QAM256": (1, 158)}
MODES = {"atsc": 0, "qam64": 1, "qam256": 2}


def bar(fraction: float, width: int = 30) -> str:
    fraction = min(max(fraction, 0.0), 1.0)
    full = int(round(fraction * width))
    return "[" + "#" * full + "-" * (width - full) + "]"


def clock(seconds) -> str:
    if seconds is None:
        return "--:--"
    seconds = max(int(round(seconds)), 0)
    return "%d:%02d" % (seconds // 60, seconds % 60)


class ScanProgress:
    """State of one scan.  feed() takes the progress lines (decode's
    parse_progress tuples), poll() the SCA? answers, which tell the channel
    being tuned between lines (a channel without signal sends no line)."""

    def __init__(self, first: int, last: int, now=time.monotonic):
        self.first, self.last = first, last
        self.now = now
        self.started = now()
        self.channel = None          # channel being scanned
        self.locked = []             # channels with a lock
        self.found = {}              # channel -> programs found there
        self.state = "starting"      # starting, scanning, stopping, done, failed
        self.refused = False

    @property
    def total(self) -> int:
        return self.last - self.first + 1

    @property
    def index(self) -> int:
        """How many channels are behind us or being scanned (1..total)."""
        if self.channel is None:
            return 0
        return min(max(self.channel - self.first + 1, 1), self.total)

    @property
    def programs(self) -> int:
        return sum(self.found.values())

    def feed(self, kind: str, number: int, ok: bool):
        if kind == "start":
            if ok:
                self.state = "scanning"
                self.started = self.now()
            else:
                self.state, self.refused = "failed", True
        elif kind == "lock":
            self.channel = number
            if number not in self.locked:
                self.locked.append(number)
        elif kind == "found":
            if self.locked:
                self.found[self.locked[-1]] = number
        elif kind == "complete":
            if self.state == "scanning":
                self.channel = self.last    # walked to the end (a stopped one did not)
            self.state = "done"
        elif kind == "stopped":
            self.state = "stopping"

    def poll(self, sca: dict):
        if sca["state"] == "scanning" and sca["channel"]:
            if self.channel is None or sca["channel"] >= self.channel:
                self.channel = sca["channel"]

    def seconds_left(self):
        done = self.index - 1
        if self.state != "scanning" or done < 1:
            return None
        per_channel = (self.now() - self.started) / done
        return per_channel * (self.total - done)

    def snapshot(self) -> dict:
        return {"state": self.state, "channel": self.channel, "index": self.index,
                "total": self.total, "locked": list(self.locked), "programs": self.programs,
                "found": {str(k): v for k, v in self.found.items()},
                "seconds_left": None if self.seconds_left() is None else round(self.seconds_left())}

    def render(self) -> str:
        fraction = 1.0 if self.state == "done" else (max(self.index - 1, 0) / self.total)
        chan = "-" if self.channel is None else str(self.channel)
        left = 0 if self.state == "done" else self.seconds_left()
        return ("%s channel %s (%d of %d)  locked %d  programs %d  left %s"
                % (bar(fraction), chan, self.index, self.total, len(self.locked),
                   self.programs, clock(left)))


class Bar:
    """Draws a progress line on a terminal (redrawn in place) or, when the
    stream is not one, a line at most every `every` seconds."""

    def __init__(self, stream, every: float = 5.0):
        self.stream = stream
        self.tty = hasattr(stream, "isatty") and stream.isatty()
        self.every = every
        self.last_line = None
        self.last_time = 0.0

    def show(self, line: str, force: bool = False):
        """force: shown however recent the last line (the same line is
        never shown twice)."""
        if line == self.last_line:
            return
        now = time.monotonic()
        if self.tty:
            self.stream.write("\r\x1b[K" + line)
        elif force or now - self.last_time >= self.every:
            self.stream.write(line + "\n")
        else:
            return
        self.stream.flush()
        self.last_line, self.last_time = line, now

    def end(self):
        if self.tty and self.last_line is not None:
            self.stream.write("\n")
            self.stream.flush()
            self.last_line = None       # a second end() adds no empty line


class ScanNotStarted(NoReply):
    """No BLINDSTART came: often the answer went to another port."""


def follow_scan(link, state: ScanProgress, start_timeout: float, silence: float,
                stop_wanted=lambda: False, on_update=lambda: None, on_interrupt=None,
                who="the device") -> bool:
    """Follows a scan just asked of `link` (BLIND0 or Tuner://N): feeds its
    progress lines and the answers to an SCA? sent every second (which tell
    the channel between lines) to `state` until the scan is done or failed.
    on_update() runs after each datagram.  BLIND99 goes once, when
    stop_wanted() turns true or, given on_interrupt, at the first Ctrl-C
    (on_interrupt() is called; a second one is raised).  Returns whether a
    stop was sent.  Raises ScanNotStarted, NoReply after `silence` seconds
    without a datagram, Refused when the device refuses the scan."""
    started = quiet_since = time.monotonic()
    next_poll = started + 1.0
    stop_sent = False
    while state.state not in ("done", "failed"):
        try:
            now = time.monotonic()
            if not stop_sent and stop_wanted():
                link.send("BLIND99")
                stop_sent, quiet_since = True, now
            if state.state == "starting" and now - started > start_timeout:
                raise ScanNotStarted("%s did not start the scan (no BLINDSTART within %gs)"
                                     % (who, start_timeout))
            if now - quiet_since > silence:
                raise NoReply("%s said nothing for %gs during the scan" % (who, silence))
            if now >= next_poll and state.state in ("scanning", "stopping"):
                link.send("SCA?")
                next_poll = now + 1.0
            data = link.next(min(next_poll, now + 0.5))
            if data is None:
                continue
            quiet_since = time.monotonic()
            if len(data) == 4 and data[0] == 0:
                state.poll(decode.parse_sca(data))
            elif data == decode.KO or data.startswith(b"BLINDSTART:0 KO"):
                raise Refused("%s refused the scan (KO): one may be running, or it does not "
                              "scan" % who)
            elif data == decode.OK and not stop_sent:
                pass        # Tuner:// answers OK once its scan has started
            else:
                for item in decode.parse_progress(data):
                    state.feed(*item)
            on_update()
        except KeyboardInterrupt:
            if on_interrupt is None or stop_sent:
                raise
            on_interrupt()
            link.send("BLIND99")
            stop_sent, quiet_since = True, time.monotonic()
    if state.refused:
        raise Refused("%s could not start the scan (BLINDSTART:1 KO)" % who)
    return stop_sent
