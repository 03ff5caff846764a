"""Progress of a blind scan and of an upgrade, as state fed by what the
device says, and the bar drawn from it."""

import time

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
        return ("%s channel %s (%d of %d)  locked %d  programs %d  left %s"
                % (bar(fraction), chan, self.index, self.total, len(self.locked),
                   self.programs, clock(self.seconds_left())))


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
        if line == self.last_line and not force:
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
