#!/usr/bin/env python3
"""`vyxctl upgrade` against a transmitter: a 1 MB archive through a relay
that loses one chunk's reply arrives on the device's disk byte for byte
(the device counts bytes, so a blind resend would have doubled the chunk),
the agent burns exactly that archive and restarts the device, and the tool
sees it come back.  Runs under `devsim run --tx`."""

import hashlib
import io
import json
import os
import random
import subprocess
import tarfile
import tempfile

from vyxe2e import DeviceTestCase, LossyRelay, device, host_dir, main, read_jsonl

LOST_REPLY = 200          # the 200th reply: a chunk's OK in the middle


def make_archive() -> bytes:
    """A tar of about 1 MB (the burner lists its members)."""
    payload = random.Random(13).randbytes(1000 * 1000)
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w") as tar:
        info = tarfile.TarInfo("firmware/rootfs.img")
        info.size = len(payload)
        tar.addfile(info, io.BytesIO(payload))
    return buf.getvalue()


class Upgrade(DeviceTestCase):
    def test_archive_survives_a_lost_reply(self):
        archive = make_archive()
        size = len(archive)
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "multiple.tar")
            with open(path, "wb") as f:
                f.write(archive)
            with LossyRelay(device("tx"), lambda way, n, data: way == "reply" and
                            n == LOST_REPLY) as relay:
                r = subprocess.run(["vyxctl", "upgrade", "%s:%d" % relay.address, path, "--json",
                                    "--sport", "0", "--chunk-timeout", "1", "--back-timeout",
                                    "60"], capture_output=True, text=True, timeout=200)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual([(w, data) for w, _, data in relay.lost], [("reply", b"OK\r\n")])
            result = json.loads(r.stdout)
            self.assertEqual((result["bytes"], result["restarts"], result["state"],
                              result["version"]), (size, 1, "restarted", "0.82.14"))
            self.assertIn("starting over", r.stderr)

            with open(os.path.join(host_dir("tx"), "hd4", "multiple.tar"), "rb") as f:
                on_disk = f.read()
            digest = hashlib.sha256(archive).hexdigest()
            self.assertEqual((len(on_disk), hashlib.sha256(on_disk).hexdigest()), (size, digest))
            events = read_jsonl("tx", "agent.jsonl")
            self.assertEqual([e["source"] for e in events if e.get("event") == "upgrade"],
                             ["ide:///mnt/hd4/multiple.tar"])
            self.assertEqual([(e["ok"], e["size"], e["sha256"], e["members"]) for e in events
                              if e.get("event") == "burn"], [(True, size, digest, 1)])

        # a reset, and the tool waits until the device answers again
        reboots = len([e for e in read_jsonl("tx", "agent.jsonl") if e.get("event") == "reboot"])
        reset = subprocess.run(["vyxctl", "reset", "tx", "--wait", "60", "--json"],
                               capture_output=True, text=True, timeout=90)
        self.assertEqual(reset.returncode, 0, reset.stderr)
        self.assertEqual(json.loads(reset.stdout), {"reset": True, "version": "0.82.14"})
        self.assertEqual(len([e for e in read_jsonl("tx", "agent.jsonl")
                              if e.get("event") == "reboot"]), reboots + 1)


if __name__ == "__main__":
    main()
