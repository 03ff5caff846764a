"""vyxctl fleet status|upgrade|play|lang|reset: one operation on many
devices, at most --parallel at a time; a device that fails is reported
and the others go on."""

import io
import re
import time

from . import decode
from . import upgrade as upgrade_mod
from .common import note
from .hub import Hub, host_names, run_parallel, select_devices
from .wire import CtlError, LocalError, NoReply, Refused, escape


def devices(args, role=None):
    return select_devices(args.devices, args.discover, role=role)


def finish(args, out, results, describe) -> int:
    """One table (or JSON list) of every device's outcome; the exit status
    of the first failure, 0 when none failed."""
    rows, lines, status = [], [], 0
    hosts = host_names()
    for (name, ip, port), res, err in results:
        row = {"device": name, "address": "%s:%d" % (ip, port), "ok": err is None}
        if err is None:
            row.update(res or {})
        else:
            row["error"] = str(err)
            status = status or (err.status if isinstance(err, CtlError) else 70)
        rows.append(row)
        lines.append("%-15s %-20s %s" % (shown_name(name, ip, hosts), row["address"],
                                          describe(row) if err is None else "FAILED: %s" % err))
    failed = sum(1 for r in rows if not r["ok"])
    lines.append("%d device(s), %d failed" % (len(rows), failed))
    out.result({"devices": rows, "failed": failed}, lines)
    return status


def shown_name(name, ip, hosts) -> str:
    """A device found by its beacon is named by its address: shown as the
    hosts file names it, when it does."""
    return hosts.get(ip, name) if name == ip else name


def progress(what):
    hosts = host_names()

    def done(dev, res, err):
        note("%s: %s" % (shown_name(dev[0], dev[1], hosts),
                         "%s" % what if err is None else "FAILED: %s" % err))
    return done


# ----------------------------------------------------------------- status
def cmd_status(args, out) -> int:
    devs = devices(args)
    with Hub(args.sport) as hub:
        def one(dev):
            link = hub.link(dev[1], dev[2])
            version = decode.parse_vers(link.request("VERS", args.timeout))
            st = decode.parse_status(link.request("STATUS", args.timeout + 1.0))
            try:
                ip = decode.parse_ip(link.request("IP?", args.timeout))
            except CtlError:
                ip = None
            return dict(st, version=version, network=ip)
        results = run_parallel(devs, one, args.parallel)

    def describe(r):
        if r["role"] == "transmitter":
            what = "%d stream(s), signal %d" % (len(r["streams"]), r["signal"])
        else:
            p = r["playing"]
            what = "playing %s:%d program %d" % (p["group"], p["port"], p["program"]) if p \
                else "idle"
        return "%-11s %-8s cpu %3d%%  %s" % (r["role"], r["version"], r["cpu"], what)
    return finish(args, out, results, describe)


# ---------------------------------------------------------------- upgrade
def archive_version(data: bytes):
    """The version an archive carries: its member VERSION (a.b.c), or None."""
    import tarfile  # only here: the command line starts faster without it
    try:
        with tarfile.open(fileobj=io.BytesIO(data)) as tar:
            for m in tar.getmembers():
                if m.name.rsplit("/", 1)[-1] == "VERSION" and m.isfile():
                    text = tar.extractfile(m).read(64).decode("ascii", "replace").strip()
                    return text if re.fullmatch(r"\d+\.\d+\.\d+", text) else None
    except (tarfile.TarError, OSError):
        return None
    return None


def wait_version(link, timeout: float) -> str:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        link.drain()
        link.send("VERS")
        reply = link.next(min(deadline, time.monotonic() + 1.0),
                          accept=lambda d: d.startswith(b"VERS"))
        if reply is not None:
            return decode.parse_vers(reply)
    raise NoReply("did not answer VERS again within %gs" % timeout)


def cmd_upgrade(args, out) -> int:
    try:
        with open(args.archive, "rb") as f:
            archive = f.read()
    except OSError as e:
        raise LocalError("cannot read %s: %s" % (args.archive, e.strerror))
    target = args.version or archive_version(archive)
    devs = devices(args, role=args.role)
    with Hub(args.sport) as hub:
        def one(dev):
            link = hub.link(dev[1], dev[2])
            before = decode.parse_vers(link.request("VERS", args.timeout))
            if target is not None and before == target:
                return {"skipped": True, "version": before}
            job = upgrade_mod.Upgrade(link, archive, reply_timeout=args.chunk_timeout,
                                      announce_timeout=args.timeout)
            sent = job.run()
            state = job.wait_restart(args.back_timeout)
            after = wait_version(link, args.back_timeout)
            return dict(sent, skipped=False, state=state, before=before, version=after)
        results = run_parallel(devs, one, args.parallel, progress("upgrade done"))

    def describe(r):
        if r["skipped"]:
            return "skipped: already at %s" % r["version"]
        return "upgraded (%d bytes, %d restart(s)); answers VERS %s" % (
            r["bytes"], r["restarts"], r["version"])
    return finish(args, out, results, describe)


# ------------------------------------------------------- simple commands
def simple(args, out, text, what, role=None) -> int:
    devs = devices(args, role=role)
    with Hub(args.sport) as hub:
        def one(dev):
            reply = hub.link(dev[1], dev[2]).request(text, args.timeout, what=text)
            decode.check_ok(reply, what)
            return {"command": text, "reply": escape(reply)}
        results = run_parallel(devs, one, args.parallel, progress(what))
    return finish(args, out, results, lambda r: "%s: OK" % what)


def cmd_play(args, out) -> int:
    group, port = args.source
    return simple(args, out, "UNIT1,%s,%d,0,%x" % (group, port, args.program), "play",
                  role="receiver")


def cmd_lang(args, out) -> int:
    if not re.fullmatch(r"[A-Za-z]{3}", args.language):
        raise Refused("a language is 3 letters, not %r" % args.language)
    return simple(args, out, "LANG %s" % args.language.lower(), "language")


def cmd_reset(args, out) -> int:
    return simple(args, out, "RESET", "reset")
