"""Demo step: the transmitter streams one program of its multiplex.

The world's channel 5 is a three-program sample multiplex made with ffmpeg
by run-demo.sh (tests/e2e/txflow_check.py make-stream).  The step tells the
transmitter to stream program 2 to a multicast group ("UNIT1"), records the
group on the controller host, shows the datagrams and what ffprobe sees in
them, checks them packet by packet against the input, and stops the stream
again ("UNIT0").
"""

import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK = os.path.join(HERE, "..", "tests", "e2e", "txflow_check.py")
CHANNEL = 5
GROUP, PORT = "239.1.1.1", 1234
PROGRAM = 2
RECORD_SECONDS = 5


def channel_file(channel):
    """The file the world's tuner plays on `channel` (from VYX_CHANNELS)."""
    path = os.environ.get("VYX_CHANNELS", "")
    if path and os.path.exists(path):
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) >= 2 and parts[0] == str(channel):
                    return parts[1]
    return None


def run_check(*args):
    out = subprocess.run([sys.executable, CHECK] + list(args), capture_output=True, text=True, check=False)
    return out.returncode, out.stdout, out.stderr


def step_stream(demo):
    if "tx" not in demo.hosts:
        demo.say("(no transmitter in this world: streaming not shown)")
        return
    source = channel_file(CHANNEL)
    if source is None:
        raise RuntimeError("channel %d has no stream in this world (run-demo.sh makes one)" % CHANNEL)

    demo.say("The transmitter's tuner plays channel %d: %s (%d bytes)" % (CHANNEL, source, os.path.getsize(source)))
    rc, out, err = run_check("describe", source)
    for line in out.splitlines():
        demo.say("  " + line)

    command = "UNIT1,%s,%d,%x,1,%x" % (GROUP, PORT, CHANNEL, PROGRAM)
    demo.say()
    demo.say("Streaming program %d of transport 1 to %s:%d:" % (PROGRAM, GROUP, PORT))
    # Tuning, table analysis and saving the start-up item take some seconds.
    reply = demo.command("tx", command, timeout=60.0)
    demo.say("  sent  %s" % command)
    demo.say("  reply %s" % (demo_show(reply) if reply is not None else "(none)"))
    if reply != b"OK\r\n":
        raise RuntimeError("the transmitter answered %r to %s" % (reply, command))

    with tempfile.TemporaryDirectory(prefix="vyxdemo.") as tmp:
        recording = os.path.join(tmp, "program%d.ts" % PROGRAM)
        rec = subprocess.run(["vyxctl", "record", "%s:%d" % (GROUP, PORT), str(RECORD_SECONDS), recording],
                             capture_output=True, text=True, check=False)
        if rec.returncode != 0 or not rec.stdout.strip():
            raise RuntimeError("recording failed: %s" % rec.stderr.strip())
        summary = json.loads(rec.stdout.strip().splitlines()[-1])
        demo.say()
        demo.say("Recorded %d s of %s:%d on the controller host:" % (RECORD_SECONDS, GROUP, PORT))
        demo.say("  datagrams  %d" % summary["datagrams"])
        demo.say("  sizes      %s" % ", ".join("%s bytes x %d" % (k, v) for k, v in summary["sizes"].items()))
        demo.say("  bytes      %d" % summary["bytes"])
        demo.say("  bit rate   %.0f kbit/s" % (summary["bit_rate"] / 1000.0))
        if summary["datagrams"] == 0:
            raise RuntimeError("nothing arrived on %s:%d" % (GROUP, PORT))

        demo.say()
        demo.say("The recorded output as ffprobe sees it:")
        rc, out, err = run_check("describe", recording)
        for line in out.splitlines():
            demo.say("  " + line)
        rc, out, err = run_check("probe", recording, "--programs", str(PROGRAM))
        if rc != 0:
            raise RuntimeError(err.strip())

        demo.say()
        rc, out, err = run_check("ts", source, recording, "--program", str(PROGRAM))
        if rc == 0:
            pids = json.loads(out)["pids"]
            demo.say("Packet check against the input: only program %d's PIDs and the PSI, every packet "
                     "unchanged and none lost; PAT regenerated with the other programs blanked, CRC valid."
                     % PROGRAM)
            demo.say("  packets per PID: %s" % ", ".join("%s %d" % (p, n) for p, n in pids.items()))
        else:
            demo.say("Packet check against the input found differences:")
            for line in err.strip().splitlines():
                demo.say("  " + line)

    reply = demo.command("tx", "UNIT0", timeout=60.0)
    demo.say()
    demo.say("Stopping all streams: sent UNIT0, reply %s" % (demo_show(reply) if reply is not None else "(none)"))
    if reply != b"OK\r\n":
        raise RuntimeError("the transmitter answered %r to UNIT0" % reply)


def demo_show(data):
    return "".join("\\r" if b == 13 else "\\n" if b == 10 else chr(b) if 32 <= b < 127 else "\\x%02x" % b
                   for b in data)
