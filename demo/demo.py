#!/usr/bin/env python3
"""The demo, seen from the controller host of a simulated world.

run-demo.sh starts it as `devsim run --tx --rx ... -- python3 demo/demo.py`
with a band on the transmitter's tuner (see run-demo.sh).  Every step runs
the integrator's tool, `vyxctl`, shows the command and a short result, and
raises on a failure.  A step whose device side this build does not have yet
says so and the demo goes on.  The files it makes go to $VYX_DEMO_OUT.
"""

import json
import os
import shlex
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import vyxe2e  # noqa: E402  (path set just above)

GROUP, PORT = "239.1.1.1", 1234
SAMPLE_CHANNEL, SAMPLE_PROGRAM = 5, 2
NAMES = {"tx": "transmitter", "rx": "receiver"}


CHECK = os.path.join(HERE, "..", "tests", "e2e", "txflow_check.py")


def run_check(*args):
    """txflow_check.py (ffprobe's view of a recording): (status, out, err)."""
    r = subprocess.run([sys.executable, CHECK] + list(args), capture_output=True, text=True)
    return r.returncode, r.stdout, r.stderr


class Missing(Exception):
    """The device side of a step is not in this build."""


class Demo:
    def __init__(self):
        self.hosts = [h for h in ("tx", "rx") if vyxe2e.has_device(h)]
        self.world = vyxe2e.world_dir()
        self.out = os.environ.get("VYX_DEMO_OUT") or os.path.join(os.getcwd(), "demo-out")
        os.makedirs(self.out, exist_ok=True)
        self.files = []
        self.missing = []
        self.channels = None

    def say(self, text=""):
        print(text, flush=True)

    def vyxctl(self, *args, timeout=120, show=True, check=True, lines=12, live=False,
               notes=False):
        """Runs vyxctl, shows the command and its output (at most `lines`
        lines), returns the CompletedProcess.  live: its stderr (a progress
        bar) goes straight to ours.  notes: its stderr lines (what it does,
        step by step) are shown as they come, before its result."""
        shown = " ".join(shlex.quote(a) for a in args)
        if show:
            self.say("$ vyxctl " + shown)
        if notes:
            r = self.run_with_notes(args, timeout)
        else:
            r = subprocess.run(["vyxctl", *args], stdout=subprocess.PIPE,
                               stderr=None if live else subprocess.PIPE, text=True,
                               timeout=timeout)
        r.stderr = r.stderr or ""
        if show:
            out = r.stdout.rstrip("\n").splitlines()
            for line in out[:lines]:
                self.say("  " + line)
            if len(out) > lines:
                self.say("  ... (%d more lines)" % (len(out) - lines))
            for line in r.stderr.strip().splitlines()[-3:]:
                if line.startswith("vyxctl:") or not r.returncode == 0:
                    self.say("  " + line)
        if check and r.returncode != 0:
            raise RuntimeError("vyxctl %s: exit status %d" % (shown, r.returncode))
        return r

    def run_with_notes(self, args, timeout):
        """vyxctl with its stderr shown line by line as it comes; the
        CompletedProcess holds its stdout (its stderr is already shown)."""
        p = subprocess.Popen(["vyxctl", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
        out = []
        reader = threading.Thread(target=lambda: out.append(p.stdout.read()), daemon=True)
        reader.start()
        late = []

        def kill():
            late.append(True)
            p.kill()
        killer = threading.Timer(timeout, kill)   # a silent hang ends too
        killer.start()
        try:
            for line in p.stderr:
                self.say("  " + line.rstrip("\n"))
            p.wait()
        finally:
            killer.cancel()
        reader.join()
        if late:
            raise RuntimeError("vyxctl %s: no end within %d s" % (" ".join(args), timeout))
        return subprocess.CompletedProcess(p.args, p.returncode, "".join(out), "")

    def keep(self, path, what):
        self.files.append((what, path))


# ---------------------------------------------------------------- the steps
def step_discover(demo):
    demo.say("1. Finding the devices on the LAN (beacons on 239.255.250.250:52428):")
    count = sum(len(os.environ.get(v, "").split()) for v in ("VYX_TXS", "VYX_RXS"))
    demo.vyxctl("discover", "--count", str(count or len(demo.hosts)), "--timeout", "30")


def step_status(demo):
    demo.say("2. What each device says about itself (STATUS, IP?, VERS; the simulated devices\n"
             "   share this machine, so the cpu they report is the machine's):")
    for h in demo.hosts:
        demo.vyxctl("status", h)


def step_scan(demo):
    demo.say("3. A blind scan of the transmitter's band (progress from the BLIND lines):")
    r = demo.vyxctl("scan", "tx", "--mode", "atsc", check=False, timeout=300, live=True)
    if r.returncode == 1:
        raise Missing("the blind scan (BLIND) is refused by this build of the transmitter")
    if r.returncode != 0:
        raise RuntimeError("the scan failed with exit status %d" % r.returncode)


def step_channels(demo):
    demo.say("4. The channel list, and an M3U playlist of one stream per channel:")
    m3u = os.path.join(demo.out, "channels.m3u")
    r = demo.vyxctl("channels", "tx", "--m3u", "%s:%d" % (GROUP, PORT), "-o", m3u, check=False,
                    lines=16)
    if r.returncode == 1 and "refused" in r.stderr:
        raise Missing("the channel list (SCAL) is refused by this build of the transmitter")
    if r.returncode != 0:
        raise RuntimeError("the channel list failed: %s" % r.stderr.strip())
    demo.keep(m3u, "M3U playlist")
    demo.channels = json.loads(demo.vyxctl("channels", "tx", "--json", show=False).stdout)
    unnamed = sorted({c["tuner_channel"] for c in demo.channels["channels"] if not c["virtual"]})
    if unnamed:
        demo.say("  (no number or name: tuner channel %s carries no virtual channel table)"
                 % ", ".join(str(c) for c in unnamed))


def read_guide(demo, virtual, name):
    """Streams `virtual` (the transmitter keeps the guide of the channel its
    tuner is on), waits for its events and writes them as XMLTV to `name`."""
    if demo.channels is None:
        raise Missing("the guide needs the channel list, which this build does not have")
    demo.vyxctl("stream", "tx", virtual, "--to", "239.1.1.2:1234")
    # the guide tables come round within seconds once the tuner stays there
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        r = demo.vyxctl("guide", "tx", "--json", "--timeout", "5", show=False, check=False)
        if r.returncode != 0 or any(g["events"] for g in json.loads(r.stdout)["guide"]):
            break
        time.sleep(1.0)
    xml = os.path.join(demo.out, name)
    r = demo.vyxctl("guide", "tx", "--xmltv", xml, "--timeout", "5", check=False, lines=20)
    if r.returncode in (1, 3):
        raise Missing("the transmitter %s guide queries (EIT) in this build"
                      % ("refuses" if r.returncode == 1 else "does not answer"))
    if r.returncode != 0:
        raise RuntimeError("the guide failed: %s" % r.stderr.strip())
    demo.keep(xml, "XMLTV guide")
    if os.path.exists("/usr/share/xmltv/xmltv.dtd"):
        v = subprocess.run(["xmllint", "--noout", "--dtdvalid", "/usr/share/xmltv/xmltv.dtd", xml],
                           capture_output=True, text=True)
        demo.say("  xmllint --dtdvalid xmltv.dtd: %s" % ("valid" if v.returncode == 0
                                                        else v.stderr.strip()))


def step_guide(demo):
    demo.say("5. The guide of 13.1's channel (the transmitter streams 13.1 to read it), as XMLTV:")
    read_guide(demo, "13.1", "guide.xml")


def step_guide_huffman(demo):
    demo.say("6. The guide of the generated multiplex, whose titles and descriptions are\n"
             "   Huffman-coded in its tables, as the transmitter decodes them:")
    read_guide(demo, "20.1", "guide-generated.xml")


def step_stream_and_play(demo):
    demo.say("7. One program streamed by the transmitter, played by the receiver:")
    demo.vyxctl("stream", "tx", "1:%d" % SAMPLE_PROGRAM, "--channel", str(SAMPLE_CHANNEL),
                "--to", "%s:%d" % (GROUP, PORT))
    demo.vyxctl("status", "tx", lines=6)
    if "rx" not in demo.hosts:
        return
    demo.vyxctl("play", "rx", "%s:%d" % (GROUP, PORT), str(SAMPLE_PROGRAM))
    demo.vyxctl("status", "rx", lines=6)


def step_language(demo):
    demo.say("8. The played program's audio languages, and a switch to French:")
    # the receiver learns them from the program's PMT once it plays
    deadline = time.monotonic() + 30
    while True:
        r = demo.vyxctl("lang", "rx", "--list", "--json", show=False, check=False)
        got = json.loads(r.stdout)["audio"] if r.returncode == 0 else []
        if any(p["entries"] for p in got) or time.monotonic() > deadline:
            break
        time.sleep(0.5)
    demo.vyxctl("lang", "rx", "--list")
    demo.vyxctl("lang", "rx", "fra")


def step_frame(demo):
    demo.say("9. What arrives on the receiver's group: recorded, probed, one frame as PNG:")
    rec = os.path.join(demo.out, "program%d.ts" % SAMPLE_PROGRAM)
    r = demo.vyxctl("record", "%s:%d" % (GROUP, PORT), "4", rec, show=True)
    summary = json.loads(r.stdout.strip().splitlines()[-1])
    if summary["datagrams"] == 0:
        raise RuntimeError("nothing arrived on %s:%d" % (GROUP, PORT))
    demo.keep(rec, "recording")
    rc, out, err = run_check("describe", rec)
    for line in out.splitlines():
        demo.say("  ffprobe: " + line)
    rc, out, err = run_check("probe", rec, "--programs", str(SAMPLE_PROGRAM))
    if rc != 0:
        raise RuntimeError(err.strip())
    png = os.path.join(demo.out, "frame.png")
    f = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", rec,
                        "-frames:v", "1", png], capture_output=True, text=True)
    if f.returncode != 0 or not os.path.exists(png):
        raise RuntimeError("ffmpeg could not save a frame: %s" % f.stderr.strip())
    demo.say("  frame saved: %s (%d bytes)" % (png, os.path.getsize(png)))
    demo.keep(png, "frame")


def step_ir_key(demo):
    demo.say("10. An IR key pressed on the receiver's remote reaches the controller:")
    probe = vyxe2e.exec_host("rx", "sh", "-c", "command -v k720ir", check=False)
    if probe.returncode != 0:
        raise Missing("the simulated IR remote (k720ir) is not in this build")
    mon = subprocess.Popen(["vyxctl", "monitor", "rx", "--count", "1", "--duration", "20"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    demo.say("$ vyxctl monitor rx --count 1      (and on the receiver: k720ir MENU)")
    try:
        mon.stderr.readline()   # forwarding is on once this line comes
        vyxe2e.exec_host("rx", "k720ir", "MENU")
        out, err = mon.communicate(timeout=30)
    finally:
        if mon.poll() is None:
            mon.kill()
    for line in out.splitlines():
        demo.say("  " + line)
    if mon.returncode != 0:
        raise RuntimeError("no key arrived: %s" % err.strip())


LINEUP = os.path.join(HERE, "lineup.json")


def step_lineup(demo):
    demo.say("11. A channel lineup from a file (%s), placed on both transmitters\n"
             "    (the second one, without a channel list yet, is scanned first):"
             % os.path.relpath(LINEUP))
    with open(LINEUP) as f:
        for line in f.read().strip().splitlines():
            demo.say("  | " + line)
    demo.vyxctl("lineup", "plan", LINEUP, "--tx", "tx,tx2", timeout=600, notes=True)
    m3u, xml = os.path.join(demo.out, "lineup.m3u"), os.path.join(demo.out, "lineup.xml")
    demo.say("  Sent to both transmitters at once, then every group recorded here and checked")
    demo.say("  (a valid PAT naming the program, its elementary PIDs, continuity):")
    demo.vyxctl("lineup", "apply", LINEUP, "--tx", "tx,tx2", "--m3u", m3u, "--xmltv", xml,
                timeout=600, lines=20, notes=True)
    demo.say("  (the sample multiplexes carry no guide tables: the lineup's XMLTV names its"
             " channels\n  without programmes)")
    demo.keep(m3u, "lineup M3U")
    demo.keep(xml, "lineup XMLTV")
    with open(m3u) as f:
        for line in f.read().splitlines()[:5]:
            demo.say("  %s: %s" % (os.path.basename(m3u), line))
    if os.path.exists("/usr/share/xmltv/xmltv.dtd"):
        v = subprocess.run(["xmllint", "--noout", "--dtdvalid", "/usr/share/xmltv/xmltv.dtd", xml],
                           capture_output=True, text=True)
        demo.say("  xmllint --dtdvalid xmltv.dtd %s: %s"
                 % (os.path.basename(xml), "valid" if v.returncode == 0 else v.stderr.strip()))
    demo.say("  Applied again, the same file changes nothing on the devices:")
    demo.vyxctl("lineup", "apply", LINEUP, "--tx", "tx,tx2", "--m3u", m3u, "--xmltv", xml,
                "--verify", "0", timeout=600, notes=True, lines=20)
    demo.say("  Every device that beacons, in one table:")
    demo.vyxctl("fleet", "status", "--parallel", "4", lines=8)


def step_switch(demo):
    demo.say("12. A receiver switching between two lineup channels:")
    with open(LINEUP) as f:
        chans = json.load(f)["channels"]
    for ch in (chans[0], chans[2]):
        demo.vyxctl("play", "rx", ch["to"], ch["channel"].split(":")[1])
        st = json.loads(demo.vyxctl("status", "rx", "--json", show=False).stdout)
        p = st["playing"]
        demo.say("  the receiver plays %s (%s): udp://@%s:%d program %d"
                 % (ch["name"], ch["channel"], p["group"], p["port"], p["program"]))


def step_stop(demo):
    demo.say("13. Stopping:")
    if "rx" in demo.hosts:
        demo.vyxctl("play", "rx", "--stop")
    demo.vyxctl("stream", "tx", "--stop")
    if os.environ.get("VYX_TX2"):
        demo.vyxctl("stream", "tx2", "--stop")


STEPS = [step_discover, step_status, step_scan, step_channels, step_guide, step_guide_huffman,
         step_stream_and_play,
         step_language, step_frame, step_ir_key, step_lineup, step_switch, step_stop]


def main():
    demo = Demo()
    if demo.hosts != ["tx", "rx"]:
        print("demo: the world needs both devices (devsim run --tx --rx)", file=sys.stderr)
        return 1
    started = time.monotonic()
    demo.say("Simulated LAN 10.77.0.0/24: transmitters 10.77.0.2 and 10.77.0.32 (tx2), "
             "receivers 10.77.0.3 and 10.77.0.52 (rx2), this controller 10.77.0.10")
    for step in STEPS:
        demo.say()
        try:
            step(demo)
        except Missing as e:
            demo.missing.append(str(e))
            demo.say("  (not shown: %s)" % e)
        except Exception as e:  # a failed step ends the demo with its reason
            print("demo: %s failed: %s" % (step.__name__, e), file=sys.stderr)
            return 1
    demo.say()
    demo.say("Files:")
    for what, path in demo.files:
        demo.say("  %-13s %s" % (what, path))
    if demo.missing:
        demo.say("Not shown, because this build's devices do not do it yet:")
        for m in demo.missing:
            demo.say("  - " + m)
    demo.say("Demo finished in %.1f s." % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
