"""Long operations the console runs in the background while its pages poll
their progress: a transmitter's blind scan and a fleet upgrade.  Each keeps
a snapshot (plain data, ready for JSON) that the pages read."""

import threading

from . import decode
from . import progress
from . import upgrade as upgrade_mod
from .common import channel_list
from .console_devices import FORWARD_LOCK, short_error
from .wire import CONTROL_PORT, CtlError, Link


class ScanJob:
    """One blind scan, as `vyxctl scan` runs it: BLIND0 (or Tuner://N),
    the progress lines and SCA? polls fed to the same progress state, the
    channel list read at the end."""

    def __init__(self, registry, device, mode: str, channel=None, silence: float = 60.0):
        self.registry, self.device = registry, device
        self.mode, self.channel = mode, channel
        self.silence = silence
        self.state = None
        self.error = None
        self.channels = None
        self.stop_asked = False
        self.finished = False
        self.thread = threading.Thread(target=self.run, daemon=True)

    def snapshot(self) -> dict:
        snap = self.state.snapshot() if self.state else {"state": "starting"}
        if self.state:
            done = self.state.state == "done"
            snap["fraction"] = 1.0 if done else max(self.state.index - 1, 0) / self.state.total
        return dict(snap, device=self.device.key, mode=self.mode, error=self.error,
                    channels=self.channels, finished=self.finished,
                    stop_asked=self.stop_asked)

    def stop(self):
        self.stop_asked = True

    def run(self):
        try:
            with FORWARD_LOCK, self.device.lock:
                with Link(self.device.ip, self.device.port, CONTROL_PORT) as link:
                    self.scan(link)
                    if self.state.state == "done":
                        self.channels = channel_list(link, 10.0)
        except CtlError as e:
            self.error = short_error(e)
        except OSError as e:
            self.error = "failed: %s" % e
        finally:
            self.finished = True
            self.registry.refresh_status(self.device)

    def start_scan(self, link):
        text = "TUNERMODE%d" % progress.MODES[self.mode]
        decode.check_ok(link.request(text, 60.0, what=text), "tuner mode")
        first, last = progress.CHANNEL_RANGES[self.mode.upper()]
        if self.channel is not None:
            first = last = self.channel
        self.state = progress.ScanProgress(first, last)
        link.drain()
        link.send("Tuner://%x" % self.channel if self.channel is not None else "BLIND0")

    def scan(self, link):
        self.start_scan(link)
        progress.follow_scan(link, self.state, 20.0, self.silence,
                             stop_wanted=lambda: self.stop_asked, who="the transmitter")


class UpgradeJob:
    """An archive sent to several devices, at most `parallel` at once; a
    device that fails is reported and the others go on.  A device already
    answering the archive's version (when known) is skipped."""

    def __init__(self, registry, devices, archive: bytes, parallel: int = 4,
                 version=None, back_timeout: float = 300.0):
        self.registry, self.archive = registry, archive
        self.version, self.back_timeout = version, back_timeout
        self.rows = {d.key: {"device": d.key, "role": d.role, "state": "waiting", "sent": 0,
                             "total": len(archive), "error": None, "version": d.version}
                     for d in devices}
        self.devices = list(devices)
        self.slots = threading.Semaphore(max(1, parallel))
        self.finished = False
        self.thread = threading.Thread(target=self.run, daemon=True)

    def snapshot(self) -> dict:
        return {"devices": [dict(r) for r in self.rows.values()], "finished": self.finished,
                "bytes": len(self.archive)}

    def run(self):
        threads = [threading.Thread(target=self.one, args=(d,), daemon=True)
                   for d in self.devices]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.finished = True

    def one(self, d):
        row = self.rows[d.key]
        with self.slots:
            if self.version and d.version == self.version:
                row["state"] = "skipped (already %s)" % self.version
                return
            row["state"] = "sending"

            def report(sent, total, why=None):
                row["sent"] = sent
                if why:
                    row["error"] = why
            try:
                with d.lock, d.link() as link:
                    job = upgrade_mod.Upgrade(link, self.archive, progress=report)
                    job.run()
                    row["state"] = "burning"
                    row["state"] = job.wait_restart(self.back_timeout)
                    row["version"] = decode.parse_vers(link.request("VERS", 10.0))
                    d.version = row["version"]
                row["error"] = None
            except CtlError as e:
                row["state"], row["error"] = "failed", short_error(e)
            except OSError as e:
                row["state"], row["error"] = "failed", "failed: %s" % e
            self.registry.refresh_status(d)
