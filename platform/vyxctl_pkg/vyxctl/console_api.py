"""The console's JSON API: what each page reads and the actions its buttons
ask for.  Every handler returns (HTTP status, object); a device's failure is
a short message in the object, beside what it concerns, and a wrong input is
refused (400) before anything is sent."""

import re
import threading
import time

from . import console_lineup as lineup
from . import lineup as lineup_cmds
from . import placement
from . import decode, fleet
from . import progress
from .common import channel_list
from .console_devices import FORWARD_LOCK, short_error
from .console_jobs import ScanJob, UpgradeJob
from .tunercmds import guide_query
from .wire import CONTROL_PORT, CtlError, Link, NoReply

TIME_RE = re.compile(rb"TIME ([0-9a-f]{1,8}) (\d{2})(\d{2}) OK\r\n\Z")
GUIDE_HOURS = 12


class BadInput(ValueError):
    """An input refused before anything is sent."""


def parse_time(data: bytes):
    """TIME's answer as ISO text, or None while the stream has sent no STT."""
    m = TIME_RE.match(data)
    if not m:
        return None
    mjd, hh, mm = int(m.group(1), 16), int(m.group(2)), int(m.group(3))
    if mjd == 0:
        return None
    return decode.mjd_to_date(mjd, hh, mm).strftime("%Y-%m-%dT%H:%M:%SZ")


class Console:
    def __init__(self, registry, lineup_file):
        self.registry = registry
        self.file = lineup_file
        self.scans = {}
        self.plan = None            # the last plan, with the file's entries
        self.apply_job = None
        self.upgrade_job = None
        self.langs = {}             # receiver -> the language this console set
        self.guide_cache = (0.0, None)
        self.mutex = threading.Lock()

    # ------------------------------------------------------------ helpers
    def device(self, key, role=None):
        d = self.registry.get(key or "")
        if d is None:
            raise BadInput("no device %r in the list" % key)
        if role and d.role != role:
            raise BadInput("%s is a %s, not a %s" % (key, d.role, role))
        return d

    def send(self, d, text, what, timeout=30.0):
        """One command that answers OK; (ok, message)."""
        try:
            decode.check_ok(self.registry.command(d, text, timeout, what), what)
            return 200, {"ok": True, "command": text}
        except CtlError as e:
            return 200, {"ok": False, "command": text, "error": short_error(e)}
        finally:
            self.registry.refresh_status(d)

    # ------------------------------------------------------------ devices
    def devices(self, q):
        return 200, {"devices": self.registry.views()}

    # --------------------------------------------------------------- scan
    def scan_start(self, body):
        d = self.device(body.get("device"), "transmitter")
        mode = body.get("mode")
        if mode not in progress.MODES:
            raise BadInput("mode: one of %s" % ", ".join(sorted(progress.MODES)))
        channel = body.get("channel")
        first, last = progress.CHANNEL_RANGES[mode.upper()]
        if channel is not None and (not isinstance(channel, int) or isinstance(channel, bool)
                                    or not first <= channel <= last):
            raise BadInput("channel: %s scans tuner channels %d..%d" % (mode, first, last))
        with self.mutex:
            job = self.scans.get(d.key)
            if job and not job.finished:
                raise BadInput("a scan of %s is already running" % d.key)
            job = self.scans[d.key] = ScanJob(self.registry, d, mode, channel)
            job.thread.start()
        return 200, job.snapshot()

    def scan_get(self, q):
        job = self.scans.get(q.get("device", ""))
        return 200, job.snapshot() if job else {"state": "none", "finished": True}

    def scan_stop(self, body):
        job = self.scans.get(body.get("device", ""))
        if job is None or job.finished:
            raise BadInput("no scan is running there")
        job.stop()
        return 200, job.snapshot()

    def channels(self, q):
        d = self.device(q.get("device"), "transmitter")
        try:
            with d.lock, d.link() as link:
                return 200, {"channels": channel_list(link, 10.0)}
        except CtlError as e:
            return 200, {"channels": None, "error": short_error(e)}

    # ------------------------------------------------------------- lineup
    def lineup_get(self, q):
        return 200, {"path": self.file.path, "text": self.file.read()}

    def lineup_put(self, body):
        text = body.get("text")
        if not isinstance(text, str):
            raise BadInput("no lineup text")
        try:
            saved = self.file.save(text)
        except lineup.LineupError as e:
            raise BadInput(str(e))
        return 200, {"saved": self.file.path, "channels": len(saved["channels"])}

    def make_plan(self):
        """The saved lineup placed on the transmitters from their channel
        lists and their state (tuned channel, running streams), as
        `vyxctl lineup plan` places it."""
        try:
            wanted = lineup.parse_lineup(self.file.read())
        except lineup.LineupError as e:
            raise BadInput("the saved lineup: %s" % e)
        lists, states, errors = {}, {}, {}
        for d in self.registry.all("transmitter"):
            try:
                with d.lock, d.link() as link:
                    table = channel_list(link, 10.0)
                    states[d.key] = lineup_cmds.tx_state(link, 5.0)
                lists[d.key] = table
                if not table:
                    errors[d.key] = "no channel list: scan this transmitter first"
            except CtlError as e:
                errors[d.key] = short_error(e)
        plan = placement.place(wanted, lists, states)
        result = dict(lineup.flatten(plan), errors=errors)
        self.plan = result
        return result, plan, states

    def lineup_plan(self, body):
        return 200, self.make_plan()[0]

    def lineup_apply(self, body):
        with self.mutex:
            if self.apply_job and not self.apply_job.finished:
                raise BadInput("the lineup is being applied already")
            result, plan, states = self.make_plan()
            self.apply_job = ApplyJob(self.registry, result, plan, states)
            self.apply_job.thread.start()
        return 200, self.apply_job.snapshot()

    def lineup_progress(self, q):
        job = self.apply_job
        return 200, job.snapshot() if job else {"rows": [], "finished": True, "none": True}

    def lineup_health(self, q):
        if not self.plan or not self.plan["placed"]:
            return 200, {"channels": []}
        signals = {}
        for d in self.registry.all("transmitter"):
            if d.status and d.status.get("role") == "transmitter":
                signals[d.key] = d.status["signal"]
        return 200, {"channels": lineup.health(self.plan["placed"], signals)}

    def lineup_m3u(self):
        if not self.plan:
            raise BadInput("plan or apply the lineup first")
        return lineup.m3u(self.plan["placed"])

    def lineup_xmltv(self):
        if not self.plan:
            raise BadInput("plan or apply the lineup first")
        return lineup.xmltv(lineup.guide_of(self.plan["placed"],
                                            self.guide_data(force=True)["transmitters"]))

    # -------------------------------------------------------------- guide
    def guide(self, q):
        return 200, self.guide_data()

    def guide_data(self, force=False):
        at, cached = self.guide_cache
        if cached is not None and not force and time.monotonic() - at < 10.0:
            return cached
        out = {"hours": GUIDE_HOURS, "transmitters": []}
        for d in self.registry.all("transmitter"):
            out["transmitters"].append(self.guide_of(d))
        self.guide_cache = (time.monotonic(), out)
        return out

    def guide_of(self, d) -> dict:
        """The guide of the tuner channel a transmitter is on (the one whose
        tables it reads), from its own clock (TIME) for 12 hours."""
        row = {"device": d.key, "channels": [], "now": None, "error": None}
        try:
            with FORWARD_LOCK, d.lock, Link(d.ip, d.port, CONTROL_PORT) as link:
                table = channel_list(link, 10.0)
                link.drain()
                link.send("SCA?")
                reply = link.next(time.monotonic() + 5.0,
                                  accept=lambda x: len(x) == 4 and x[0] == 0)
                if reply is None:
                    raise NoReply("no answer to SCA?")
                tuned = decode.parse_sca(reply)["channel"]
                row["now"] = parse_time(link.request("TIME", 5.0, what="TIME"))
                row["tuner_channel"] = tuned
                for ch in table:
                    if ch["tuner_channel"] == tuned:
                        events = guide_query(link, ch, GUIDE_HOURS, 10.0)
                        row["channels"].append({"channel": ch, "events": events})
        except CtlError as e:
            row["error"] = short_error(e)
        return row

    # -------------------------------------------------------------- rooms
    def rooms(self, q):
        placed = self.plan["placed"] if self.plan else []
        by_group = {(p["group"], p["port"]): p for p in placed}
        out = []
        for v in self.registry.views():
            if v["role"] != "receiver":
                continue
            st, now = v["status"] or {}, None
            playing = st.get("playing")
            if playing:
                p = by_group.get((playing["group"], playing["port"]))
                now = {"group": playing["group"], "port": playing["port"],
                       "program": playing["program"],
                       "channel": p["index"] if p else None, "label": p["label"] if p else None}
            out.append(dict(v, playing=now, lang=self.langs.get(v["key"])))
        channels = [{"index": p["index"], "label": p["label"], "to": "%s:%d" % (p["group"],
                                                                               p["port"])}
                    for p in placed]
        return 200, {"rooms": out, "channels": channels}

    def room_play(self, body):
        d = self.device(body.get("device"), "receiver")
        placed = self.plan["placed"] if self.plan else []
        p = next((p for p in placed if p["index"] == body.get("channel")), None)
        if p is None:
            raise BadInput("choose a channel of the applied lineup")
        status, obj = self.send(d, "UNIT1,%s,%d,0,%x" % (p["group"], p["port"],
                                                        p["source"]["program"]), "play")
        if obj["ok"] and p["lang"]:
            self.room_lang({"device": d.key, "lang": p["lang"]})
        return status, obj

    def room_lang(self, body):
        d = self.device(body.get("device"), "receiver")
        lang = body.get("lang")
        if not isinstance(lang, str) or not re.fullmatch(r"[a-z]{3}", lang):
            raise BadInput("a language is three lower-case letters (eng, spa)")
        status, obj = self.send(d, "LANG%s,0" % lang, "language")
        if obj["ok"]:
            self.langs[d.key] = lang
        return status, obj

    def room_reset(self, body):
        d = self.device(body.get("device"))
        return self.send(d, "RESET", "reset", timeout=10.0)

    # ------------------------------------------------------------ upgrade
    def upgrade_start(self, archive: bytes, q):
        role = q.get("role", "all")
        if role not in ("all", "transmitter", "receiver"):
            raise BadInput("role: all, transmitter or receiver")
        try:
            parallel = int(q.get("parallel", "4"))
        except ValueError:
            parallel = 0
        if not 1 <= parallel <= 32:
            raise BadInput("parallel: 1..32 devices at once")
        if not 11 <= len(archive) <= 1000000000:
            raise BadInput("choose an upgrade archive (a tar file)")
        version = q.get("version") or None
        if version is None:
            version = fleet.archive_version(archive)    # its VERSION member, as fleet upgrade
        elif not re.fullmatch(r"\d{1,5}\.\d{1,5}\.\d{1,5}", version):
            raise BadInput("version: as VERS answers it (0.82.14)")
        with self.mutex:
            if self.upgrade_job and not self.upgrade_job.finished:
                raise BadInput("an upgrade is running already")
            devices = self.registry.all(None if role == "all" else role)
            if not devices:
                raise BadInput("no %s to upgrade" % ("device" if role == "all" else role))
            self.upgrade_job = UpgradeJob(self.registry, devices, archive, parallel, version)
            self.upgrade_job.thread.start()
        return 200, self.upgrade_job.snapshot()

    def upgrade_get(self, q):
        job = self.upgrade_job
        return 200, job.snapshot() if job else {"devices": [], "finished": True, "none": True}


class ApplyJob:
    """Sends a plan's streams, the transmitters in parallel, with the same
    actions as `vyxctl lineup apply`: a stream already running as planned
    is left alone, the slots the plan does not use are stopped."""

    def __init__(self, registry, shown, plan, states):
        self.registry, self.shown = registry, shown
        self.plan, self.states = plan, states
        self.rows = {p["index"]: {"index": p["index"], "channel": p["channel"],
                                  "label": p["label"], "transmitter": p["transmitter"],
                                  "slot": p["slot"], "to": "%s:%d" % (p["group"], p["port"]),
                                  "state": "waiting", "error": None}
                     for p in shown["placed"]}
        self.finished = False
        self.thread = threading.Thread(target=self.run, daemon=True)

    def snapshot(self) -> dict:
        return {"rows": [dict(r) for r in self.rows.values()], "finished": self.finished,
                "unplaced": self.shown["unplaced"], "errors": self.shown["errors"]}

    def run(self):
        keys = sorted(self.plan["transmitters"])
        threads = [threading.Thread(target=self.one, args=(k,), daemon=True) for k in keys]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.finished = True

    def one(self, key):
        d = self.registry.get(key)
        txplan = self.plan["transmitters"][key]
        acts = placement.actions(txplan, self.states[key])
        starting = {a[1]["index"] for a in acts if a[0] == "start"}
        for s in txplan["streams"]:
            self.rows[s["index"]]["state"] = "to start" if s["index"] in starting else "unchanged"
        try:
            with d.lock, d.link() as link:
                for act in acts:
                    row = self.rows[act[1]["index"]] if act[0] == "start" else None
                    if row:
                        row["state"] = "starting"
                    lineup_cmds.send_actions(link, key, [act], 60.0)
                    if row:
                        row["state"] = "started"
        except CtlError as e:
            for s in txplan["streams"]:
                row = self.rows[s["index"]]
                if row["state"] in ("to start", "starting"):
                    row["state"], row["error"] = "failed", short_error(e)
        self.registry.refresh_status(d)
