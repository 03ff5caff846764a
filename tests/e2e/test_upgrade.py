#!/usr/bin/env python3
"""Firmware upgrade of the transmitter over the command protocol: size
limits, an overflowing chunk, a restarted download, "DHCP" refused during a
download, a damaged archive refused without a burn, and a 1 MB tar archive that arrives bit-exact, is burned by the
agent (members and SHA-256 logged) and restarts the device.  Runs under
`devsim run --tx`; the tests run in the order of their names."""

import hashlib
import io
import os
import random
import tarfile

from vyxe2e import (KO, OK, VERSION_REPLY, Controller, DeviceTestCase, device, main, poll,
                    read_jsonl, read_text, upgrade_chunks, wait_for_text, world_dir)

CHUNK = 2035  # what a 2040-byte command datagram carries after "UPGR:"


def status(state: int) -> bytes:
    return b"UPGRSTATUS%d OK\r\n\r\n" % state


def make_archive(total: int) -> bytes:
    """A tar archive of about `total` bytes of seeded random members."""
    rnd = random.Random(20261209)
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for name, size in (("rootfs.img", total - 40000), ("kernel.bin", 30000), ("VERSION", 9)):
            data = bytes(rnd.getrandbits(8) for _ in range(size))
            info = tarfile.TarInfo(name)
            info.size = size
            info.mtime = 1700000000
            tar.addfile(info, io.BytesIO(data))
    return out.getvalue()


class Upgrade(DeviceTestCase):
    def setUp(self):
        self.ctl = Controller()
        self.tx = device("tx")

    def tearDown(self):
        self.ctl.close()

    def ask(self, data, timeout=10.0):
        return self.ctl.command(self.tx, data, timeout)

    def test_1_sizes_overflow_and_restart(self):
        self.assertEqual(self.ask("UPGR?"), status(0))
        self.assertEqual(self.ask("UPGR10"), b"KO\r\n File too large or too small: 10\r\n")
        self.assertEqual(self.ask("UPGR1000000001"),
                         b"KO\r\n File too large or too small: 1000000001\r\n")
        self.assertEqual(self.ask("UPGR?"), status(0), "a refused size changes nothing")
        self.assertEqual(self.ask("UPGR11"), OK)
        self.assertEqual(self.ask("UPGR?"), status(1))
        # During a download the loop logs datagrams by their size only.
        self.assertEqual(self.ask("DEBUG1"), KO)
        try:
            start = len(read_text("tx", "stdout.log"))
            self.assertEqual(self.ask(b"UPGR:" + b"x" * 6), OK)
            wait_for_text("tx", "stdout.log", r"CommandManager recvd 11 bytes\n", 10, start)
            self.assertNotIn("recvd: UPGR:x", read_text("tx", "stdout.log")[start:])
        finally:
            self.ask("DEBUG0")
        # A new announcement starts again from nothing: 6 + 14 would overflow
        # an archive of 20 only if the first chunk still counted.
        self.assertEqual(self.ask("UPGR20"), OK)
        self.assertEqual(self.ask(b"UPGR:" + b"y" * 14), OK)
        self.assertEqual(self.ask("UPGR?"), status(1))
        self.assertEqual(self.ask(b"UPGR:" + b"z" * 10),
                         b"KO\r\n Error saving upgrade file at 24 of 20 bytes\r\n")
        self.assertEqual(self.ask("UPGR?"), status(3))

    def test_2_dhcp_is_refused_during_a_download(self):
        self.assertEqual(self.ask("UPGR5000"), OK)
        before = len(read_jsonl("tx", "agent.jsonl"))
        self.assertEqual(self.ask("DHCP0,10.77.0.30,10.77.0.1,255.255.255.0"), KO)
        sets = [e for e in read_jsonl("tx", "agent.jsonl")[before:] if e.get("event") == "set"]
        self.assertEqual(sets, [], "DHCP changed settings during a download")
        self.assertEqual(self.ask("VERS"), VERSION_REPLY)
        self.assertEqual(self.ask("UPGR?"), status(1))

    def test_2b_a_damaged_archive_is_refused_and_nothing_burned(self):
        archive = bytearray(make_archive(60000))
        # kernel.bin's header follows rootfs.img's (512 + 20000 bytes padded
        # to 20480): a changed byte of its name breaks its checksum.
        self.assertEqual(archive[20992:21002], b"kernel.bin")
        archive[20992] ^= 0x20
        archive = bytes(archive)
        self.assertEqual(self.ask("UPGR%d" % len(archive)), OK)
        chunks = list(upgrade_chunks(archive, CHUNK))
        for i, chunk in enumerate(chunks[:-1]):
            self.assertEqual(self.ask(chunk), OK, "chunk %d of %d" % (i + 1, len(chunks)))
        self.assertEqual(self.ask(chunks[-1]),
                         b"KO\r\n Upgrade archive is not a complete tar: "
                         b"bad header checksum at byte 20992\r\n")
        self.assertEqual(self.ask("UPGR?"), status(3))
        wait_for_text("tx", "stderr.log", r"Upgrade archive refused: bad header checksum", 10)
        # No burn was asked for: the device is still at its version.
        self.assertEqual([e for e in read_jsonl("tx", "agent.jsonl") if e.get("event") == "burn"], [])
        self.assertEqual(self.ask("VERS"), VERSION_REPLY)

    def test_3_archive_is_burned_and_the_device_restarts(self):
        archive = make_archive(1000000)
        loads = len([e for e in read_jsonl("tx", "player.jsonl") if e.get("event") == "load"])
        self.assertEqual(self.ask("UPGR%d" % len(archive)), OK)
        chunks = list(upgrade_chunks(archive, CHUNK))
        self.assertEqual(len(chunks[0]), 5 + CHUNK)
        for i, chunk in enumerate(chunks):
            self.assertEqual(self.ask(chunk), OK, "chunk %d of %d" % (i + 1, len(chunks)))
            if i == len(chunks) // 2:
                self.assertEqual(self.ask("UPGR?"), status(1))
        # The last "OK" means the burn was asked for; the device burns now.
        self.assertEqual(self.ask("UPGR?"), status(2))
        self.assertEqual(self.ask("UPGR11"), b"KO\r\n Invalid state 2\r\n")

        with open(os.path.join(world_dir(), "tx", "hd4", "multiple.tar"), "rb") as f:
            written = f.read()
        want = hashlib.sha256(archive).hexdigest()
        self.assertEqual(hashlib.sha256(written).hexdigest(), want)

        burns = poll(lambda: [e for e in read_jsonl("tx", "agent.jsonl")
                              if e.get("event") == "burn"], 20, "the agent's burn")
        self.assertEqual(burns[0]["source"], "ide:///mnt/hd4/multiple.tar")
        self.assertTrue(burns[0]["ok"], burns[0])
        self.assertEqual(burns[0]["sha256"], want)
        self.assertEqual(burns[0]["names"], ["rootfs.img", "kernel.bin", "VERSION"])

        # The restart: the player loads the plug-in again, which starts idle.
        poll(lambda: len([e for e in read_jsonl("tx", "player.jsonl")
                          if e.get("event") == "load"]) > loads, 60, "the device's restart")
        poll(lambda: self.ask("VERS", timeout=1) == VERSION_REPLY, 60, "VERS after the restart")
        self.assertEqual(self.ask("UPGR?"), status(0))


if __name__ == "__main__":
    main()
