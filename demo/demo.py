#!/usr/bin/env python3
"""The demo, seen from the controller host of a simulated world.

run-demo.sh starts it as `devsim run --tx --rx -- python3 demo/demo.py`.
Each step is a function taking the Demo and returning normally on success or
raising on failure; STEPS lists them in order.  To grow the demo (streaming,
playback on the receiver, ...), write a new step and add it to STEPS.
"""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))

import vyxe2e  # noqa: E402  (path set just above)
from vyxe2e import HOST_IPS, VERSION_REPLY, Controller, device  # noqa: E402
from stream_demo import step_stream  # noqa: E402

NAMES = {"tx": "transmitter", "rx": "receiver"}


def show(data: bytes) -> str:
    """A datagram as readable text, CR/LF/NUL and other bytes escaped."""
    out = []
    for b in data:
        if b == 13:
            out.append("\\r")
        elif b == 10:
            out.append("\\n")
        elif b == 0:
            out.append("\\0")
        elif 32 <= b < 127:
            out.append(chr(b))
        else:
            out.append("\\x%02x" % b)
    return "".join(out)


class Demo:
    def __init__(self):
        self.hosts = [h for h in ("tx", "rx") if vyxe2e.has_device(h)]
        self.ctl = Controller()
        self.world = vyxe2e.world_dir()

    def say(self, text=""):
        print(text, flush=True)

    def command(self, host, text, timeout=5.0):
        """Sends one command to a device and returns its reply (or None)."""
        return self.ctl.command(device(host), text, timeout)


# ---------------------------------------------------------------- the steps
def step_world(demo):
    demo.say("Simulated LAN 10.77.0.0/24 (world directory %s):" % demo.world)
    for h in demo.hosts:
        ip, port = device(h)
        demo.say("  %-11s %s, command port %d, MAC %s"
                 % (NAMES[h], ip, port, vyxe2e.host_mac(h)))
    demo.say("  %-11s %s (this program)" % ("controller", HOST_IPS["controller"]))


def step_versions(demo):
    demo.say("Asking each device for its version (\"VERS\"):")
    for h in demo.hosts:
        reply = demo.command(h, "VERS")
        demo.say("  %-11s -> %s" % (NAMES[h], show(reply) if reply else "(no reply)"))
        if reply != VERSION_REPLY:
            raise RuntimeError("%s answered %r to VERS" % (NAMES[h], reply))


def step_beacons(demo):
    demo.say("Listening for discovery beacons on %s:%d (restart request to port %d):"
             % (vyxe2e.BEACON_GROUP, vyxe2e.BEACON_PORT, vyxe2e.BEACON_REQUEST_PORT))
    ips = {HOST_IPS[h]: h for h in demo.hosts}
    got = vyxe2e.beacons(list(ips), timeout=30)
    for ip, data in sorted(got.items()):
        demo.say("  %-11s %s" % (NAMES[ips[ip]], show(data)))


STEPS = [step_world, step_versions, step_beacons, step_stream]


def main():
    demo = Demo()
    if not demo.hosts:
        print("demo: no device in this world", file=sys.stderr)
        return 1
    started = time.monotonic()
    for step in STEPS:
        demo.say()
        try:
            step(demo)
        except Exception as e:  # a failed step ends the demo with its reason
            print("demo: %s failed: %s" % (step.__name__, e), file=sys.stderr)
            return 1
    demo.say()
    demo.say("Demo finished in %.1f s: every step passed." % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
