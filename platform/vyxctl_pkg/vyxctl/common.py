"""What every vyxctl subcommand shares: its output, its one-line notes,
the link to the DEVICE argument, and the channel list (SCAL)."""

import json
import sys
import time

from . import decode
from .wire import CONTROL_PORT, Link, NoReply, Refused, probe_port, resolve_device

FORWARDING_HINT = ("the device sends this answer to the address and port that first asked "
                   "for its forwarded answers; this run sent from port %d (see --sport)")


# ------------------------------------------------------------------ output
class Out:
    """Human text on stdout, or with --json one JSON document (or, for the
    subcommands that go on, one JSON object per line)."""

    def __init__(self, as_json: bool):
        self.json = as_json

    def result(self, obj, lines=()):
        if self.json:
            print(json.dumps(obj, sort_keys=True), flush=True)
        else:
            for line in lines:
                print(line, flush=True)

    event = result


def note(text: str):
    print("vyxctl: %s" % text, file=sys.stderr, flush=True)


def open_device(args) -> Link:
    ip, port = resolve_device(args.device)
    if port is None:
        port = probe_port(ip, min(args.timeout, 3.0))
    return Link(ip, port, args.sport)


def forwarded(link: Link, error: NoReply) -> NoReply:
    hint = FORWARDING_HINT % link.sport
    if link.fallback:
        hint += " (port %d was taken by another run)" % CONTROL_PORT
    return NoReply("%s; %s" % (error, hint))


def channel_list(link: Link, timeout: float) -> list:
    """SCAL: every datagram until the end mark, decoded."""
    link.drain()
    link.send("SCAL")
    deadline = time.monotonic() + timeout

    def done(got):
        return decode.scal_complete(got) or (len(got) == 1 and got[0] in (decode.KO,))
    got = link.gather(deadline, done)
    if got is None:
        if link.partial:
            return decode.parse_scal(link.partial)  # raises: no end mark
        raise NoReply("%s:%d did not answer SCAL within %gs" % (link.ip, link.port, timeout))
    if got == [decode.KO]:
        raise Refused("SCAL: the device refused (a scan may be running, or it is no transmitter)")
    return decode.parse_scal(got)
