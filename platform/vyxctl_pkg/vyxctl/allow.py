"""vyxctl allow: the list of controllers that may command a device
(CONTROLLERS), read, replaced or removed; DEVICE may name several devices
separated by commas, each told the same."""

import ipaddress
import re
from types import SimpleNamespace

from .common import open_device
from .wire import BadReply, CtlError, LocalError, Refused, escape, shorten

# "CONTROLLERS<n>[,<entry>...] OK\r\n"
LIST_RE = re.compile(rb"CONTROLLERS(\d{1,2})((?:,[0-9./]+)*) OK\r\n\Z")
MAX_ENTRIES = 48


def parse_list(data: bytes) -> list:
    m = LIST_RE.match(data)
    if not m:
        raise BadReply("CONTROLLERS?: unexpected reply %s" % shorten(data))
    entries = [e for e in m.group(2).decode("ascii").split(",") if e]
    if len(entries) != int(m.group(1)):
        raise BadReply("CONTROLLERS?: %s entries announced, %d listed"
                       % (m.group(1).decode(), len(entries)))
    return entries


def entry_arg(text: str) -> str:
    """An address or a CIDR block, as the device writes it back."""
    try:
        net = ipaddress.IPv4Network(text, strict=False)
    except ValueError:
        raise LocalError("not an IPv4 address or CIDR block: %s" % text)
    return str(net.network_address) if net.prefixlen == 32 else str(net)


def one_device(args, device: str, command: str) -> dict:
    where = SimpleNamespace(device=device, timeout=args.timeout, sport=args.sport)
    with open_device(where) as link:
        if command != "CONTROLLERS?":
            reply = link.request(command, args.timeout, what="CONTROLLERS")
            if reply != b"OK\r\n":
                return {"device": device, "ok": False, "reply": escape(reply)}
        listed = parse_list(link.request("CONTROLLERS?", args.timeout, what="CONTROLLERS?"))
    return {"device": device, "ok": True, "controllers": listed}


def cmd_allow(args, out) -> int:
    entries = [entry_arg(e) for e in args.entries]
    if sum(bool(x) for x in (entries, args.clear, args.show)) != 1:
        raise LocalError("give CIDR blocks, or --clear, or --show")
    if len(entries) > MAX_ENTRIES:
        raise LocalError("at most %d entries" % MAX_ENTRIES)
    command = ("CONTROLLERS?" if args.show else "CONTROLLERS0" if args.clear
               else "CONTROLLERS," + ",".join(entries))
    devices = [d for d in args.device.split(",") if d]
    if len(devices) == 1:
        r = one_device(args, devices[0], command)
        if not r["ok"]:
            raise Refused("CONTROLLERS: the device refused (%s); only a listed controller may "
                          "change the list, and the list must hold the sender" % r["reply"])
        out.result(r, ["%s: %s" % (r["device"], ", ".join(r["controllers"]) or
                                   "everyone (no list)")])
        return 0
    results, status = [], 0
    for device in devices:
        try:
            r = one_device(args, device, command)
        except CtlError as e:
            r = {"device": device, "ok": False, "error": str(e)}
            status = max(status, e.status)
        if not r["ok"] and "reply" in r:
            status = max(status, 1)  # refused: not a listed controller, or it left itself out
        results.append(r)
    lines = []
    for r in results:
        if r["ok"]:
            listed = ", ".join(r["controllers"]) or "everyone (no list)"
            lines.append("%s: %s" % (r["device"], listed))
        else:
            lines.append("%s: refused %s" % (r["device"], r.get("reply") or r.get("error")))
    out.result(results, lines)
    return status


def register(command):
    c = command("allow", cmd_allow, "who may command the device: set (CIDR...), --clear, --show")
    c.add_argument("entries", nargs="*", metavar="CIDR", help="addresses or blocks (10.0.0.0/24)")
    c.add_argument("--clear", action="store_true", help="remove the list: everyone may command")
    c.add_argument("--show", action="store_true", help="print the list in force")
