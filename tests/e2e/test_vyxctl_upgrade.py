#!/usr/bin/env python3
"""`vyxctl upgrade` against a transmitter: a 1 MB archive through a relay
that loses one chunk's reply arrives on the device's disk byte for byte
(the device counts bytes, so a blind resend would have doubled the chunk),
the agent is asked to burn it, and a second upgrade is refused while it
burns.  Runs under `devsim run --tx`; the device stays burning afterwards,
so this world is its own."""

import hashlib
import json
import os
import random
import subprocess
import tempfile

from vyxe2e import DeviceTestCase, LossyRelay, device, host_dir, main, read_jsonl

SIZE = 1000 * 1000
LOST_REPLY = 200          # the 200th reply: a chunk's OK in the middle


class Upgrade(DeviceTestCase):
    def test_archive_survives_a_lost_reply(self):
        archive = random.Random(13).randbytes(SIZE)
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "multiple.tar")
            with open(path, "wb") as f:
                f.write(archive)
            with LossyRelay(device("tx"), lambda way, n, data: way == "reply" and
                            n == LOST_REPLY) as relay:
                r = subprocess.run(["vyxctl", "upgrade", "%s:%d" % relay.address, path, "--json",
                                    "--sport", "0", "--chunk-timeout", "1", "--back-timeout",
                                    "30"], capture_output=True, text=True, timeout=200)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual([(w, data) for w, _, data in relay.lost], [("reply", b"OK\r\n")])
            result = json.loads(r.stdout)
            self.assertEqual((result["bytes"], result["restarts"], result["state"],
                              result["version"]), (SIZE, 1, "burning", "0.82.14"))
            self.assertIn("starting over", r.stderr)

            with open(os.path.join(host_dir("tx"), "hd4", "multiple.tar"), "rb") as f:
                on_disk = f.read()
            self.assertEqual((len(on_disk), hashlib.sha256(on_disk).hexdigest()),
                             (SIZE, hashlib.sha256(archive).hexdigest()))
            burns = [e for e in read_jsonl("tx", "agent.jsonl") if e.get("event") == "upgrade"]
            self.assertEqual([e["source"] for e in burns], ["ide:///mnt/hd4/multiple.tar"])

            again = subprocess.run(["vyxctl", "upgrade", "tx", path], capture_output=True,
                                   text=True, timeout=60)
            self.assertEqual(again.returncode, 1)
            self.assertIn("burning", again.stderr)


if __name__ == "__main__":
    main()
