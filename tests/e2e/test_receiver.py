#!/usr/bin/env python3
"""The receiver's remote, serial bridge and display commands end to end: keys
pressed on the host's remote (k720ir) reaching the controller or the browser,
bytes both ways between the host's serial port and the controller, the
player lines of URL/RESOLUTION and webctl against the host's browser and
agent, the languages of a stream the transmitter sends and the receiver's
start-up order.  Runs under `devsim run --tx --rx --channel 5=<3-language
capture>` (the language case is skipped without the transmitter)."""

import json
import os
import re
import time
import unittest

from vyxe2e import (KO, OK, Controller, DeviceTestCase, SerialEnd, device, exec_host,
                    has_device, host_dir, main, poll, read_jsonl, read_text, wait_for_text)

IR_MODE_CODE = 110   # set by the receiver at start-up
KEY_WAIT = 10.0
# Settings of the agent (OIDs).
IR_CONTROL = ".1.3.6.1.4.1.32473.3.5.27.0"
CONFIG_SAVE = ".1.3.6.1.4.1.32473.3.5.11.0"
CLOSE_CAPTION = ".1.3.6.1.4.1.32473.3.3.54.0"
NETWORK_BUFFER_SIZE = ".1.3.6.1.4.1.32473.3.3.43.0"
DOMAIN = ".1.3.6.1.4.1.32473.3.1.13.0"


def remote_datagram(code, repeat=0, mode=IR_MODE_CODE):
    return b"REMOTE\x01\x04" + bytes([mode & 0xFF, code, repeat, 0xCC])


def press(*args):
    """Presses keys on the receiver's remote (real-time key timing)."""
    exec_host("rx", "k720ir", *[str(a) for a in args])


def browser_keys():
    return [e["text"] for e in read_jsonl("rx", "browser.jsonl")
            if e.get("event") == "command" and e.get("size") == 12]


class Remote(DeviceTestCase):
    def test_keys_to_the_controller_then_to_the_browser(self):
        rx = device("rx")
        with Controller() as ctl:
            try:
                self.assertReply("rx", "CALLBACK1", OK, ctl=ctl)

                def remotes(got):
                    return [d for d in got if d.startswith(b"REMOTE")]

                # The menu key: code 29, no repeat, the mode byte of the IR code.
                ctl.drain()
                press("MENU")
                got = remotes(ctl.collect(KEY_WAIT, until=lambda g: remotes(g)))
                self.assertEqual(got, [remote_datagram(29)])

                # A volume key held 1 s (repeats every 108 ms): the first
                # press goes out plain, a repeat only once 250 units passed
                # (here every third repeat, 324 ms).
                ctl.drain()
                press("--hold", 1000, "VOL_UP")
                got = remotes(ctl.collect(2.0))
                self.assertGreaterEqual(len(got), 2, got)
                self.assertLess(len(got), 6, got)
                self.assertEqual(got[0], remote_datagram(8, 0))
                self.assertIn(remote_datagram(8, 1), got[1:])
                self.assertEqual(set(got[1:]), {remote_datagram(8, 1)}, got)

                # Key 11 pressed every 200 units (195 ms) counts as held: once.
                ctl.drain()
                press("--presses", 3, "--every", 195, 11)
                got = remotes(ctl.collect(2.0))
                self.assertEqual(got, [remote_datagram(7)])

                # An unknown key goes out with code 0x0F.
                ctl.drain()
                press(99)
                got = remotes(ctl.collect(KEY_WAIT, until=lambda g: remotes(g)))
                self.assertEqual(got, [remote_datagram(0x0F)])
            finally:
                ctl.command(rx, "CALLBACK0")

            # Forwarding off: the menu key opens the browser, later keys follow.
            self.assertEqual([d for d in ctl.collect(0.3) if d.startswith(b"REMOTE")], [])
            before = len(browser_keys())
            press("MENU", "UP", "VOL_DOWN")
            poll(lambda: len(browser_keys()) >= before + 3, KEY_WAIT, "three keys at the browser")
            self.assertEqual(browser_keys()[before:], ["-k016", "-k011", "-k045"])
            self.assertEqual([d for d in ctl.collect(0.3) if d.startswith(b"REMOTE")], [])


def agent_sets(after=0):
    return [e for e in read_jsonl("rx", "agent.jsonl") if e.get("event") == "set"][after:]


class Serial(DeviceTestCase):
    def test_bytes_both_ways_and_the_line_settings(self):
        rx = device("rx")
        with Controller() as ctl, SerialEnd("rx") as port:
            try:
                self.assertReply("rx", "CALLBACK1", OK, ctl=ctl)
                # Three bytes at the port: three datagrams, one byte each.
                ctl.drain()
                port.write(b"a\x00\xff")
                got = [d for d in ctl.collect(KEY_WAIT, until=lambda g: len(
                    [d for d in g if d.startswith(b"UART")]) >= 3) if d.startswith(b"UART")]
                self.assertEqual(got, [b"UARTa", b"UART\x00", b"UART\xff"])

                # Bytes of a UART command, zero bytes and all, reach the port.
                self.assertReply("rx", "UARTAT\x00Z\r\n", OK, ctl=ctl)
                self.assertEqual(port.read(6, KEY_WAIT), b"AT\x00Z\r\n")
                self.assertEqual(port.read(1, 0.3), b"")

                # Line settings go to the agent, quoted, then a save.
                for text, stored in (("SUART19200,7,E,2", '"19200,E,7,2"'),
                                     ("SUART9600,8,N,1", '"9600,N,8,1"')):
                    start = len(agent_sets())
                    self.assertReply("rx", text, OK, ctl=ctl)
                    sets = poll(lambda: len(agent_sets(start)) >= 2 and agent_sets(start), KEY_WAIT,
                                "the settings and the save at the agent")
                    self.assertTrue(sets[0]["request"].endswith(" s " + stored), sets[0])
                    self.assertTrue(sets[0]["ok"], sets[0])
                    self.assertTrue(sets[1]["request"].endswith(" i 0"), sets[1])
                # One field only: refused, nothing stored.
                start = len(agent_sets())
                self.assertReply("rx", "SUART9600", KO, ctl=ctl)
                self.assertEqual(agent_sets(start), [])
            finally:
                ctl.command(rx, "CALLBACK0")
            # Forwarding off: bytes at the port go nowhere.
            ctl.drain()
            port.write(b"q")
            self.assertEqual([d for d in ctl.collect(1.0) if d.startswith(b"UART")], [])


def stdout_lines(start=0):
    return read_text("rx", "stdout.log")[start:]


def player_events(event, after=0.0):
    return [e for e in read_jsonl("rx", "player.jsonl")
            if e.get("event") == event and e["ts"] > after]


class Display(DeviceTestCase):
    """The player lines are read in the plug-in's log, on with DEBUG1."""

    @classmethod
    def setUpClass(cls):
        Controller().command(device("rx"), "DEBUG1")

    @classmethod
    def tearDownClass(cls):
        Controller().command(device("rx"), "DEBUG0")
        super().tearDownClass()

    def test_url_gives_the_player_line_and_the_browser_page(self):
        start = len(read_text("rx", "stdout.log"))
        before = len(read_jsonl("rx", "browser.jsonl"))
        self.assertReply("rx", "URL http://10.77.0.10/menu.html,100,100,640,384,128,200", OK,
                         timeout=15)
        # 100/1280 and 640/1280 of the width, 100/768 and 384/768 of the height.
        wait_for_text("rx", "stdout.log", re.escape(
            "k720cmmd -ps 50 50 100 100 0 200 0 -vs 50 50 100 100 0 200 0 -browser "
            " http://10.77.0.10/menu.html 0 32 38 50 50 0 128 0 \n"), KEY_WAIT, start)
        page = poll(lambda: [e for e in read_jsonl("rx", "browser.jsonl")[before:]
                             if e.get("event") == "command"], KEY_WAIT, "the page at the browser")
        self.assertEqual(page[0]["text"], "http://10.77.0.10/menu.html")
        shown = poll(lambda: [e for e in read_jsonl("rx", "player.jsonl")
                              if e.get("event") == "browser"
                              and e.get("url") == "http://10.77.0.10/menu.html"],
                     KEY_WAIT, "the browser layer of the player")
        self.assertEqual([shown[-1][k] for k in ("centerX", "centerY", "width", "height", "alpha")],
                         [32, 38, 50, 50, 128])
        # The browser is up: captions off.
        sets = poll(lambda: [e for e in agent_sets() if e["request"].startswith(CLOSE_CAPTION)],
                    KEY_WAIT, "CLOSE_CAPTION at the agent")
        self.assertTrue(sets[-1]["request"].endswith(" i 0"), sets[-1])

        # Hostile forms answer KO and leave the page alone.
        for text in ("URL" + "h" * 2000, "URLkey-1", "URLkey 99999999999", "URLkey 65535"):
            self.assertReply("rx", text, KO)

    def test_vscale_places_both_layers(self):
        start = len(read_text("rx", "stdout.log"))
        self.assertReply("rx", "VSCALE,10,20,40,60,128", OK)
        wait_for_text("rx", "stdout.log", re.escape(
            "k720cmmd -ps 30 50 40 60 0 128 0 -vs 30 50 40 60 0 128 0\n"), KEY_WAIT, start)
        def layers_placed():
            got = [(e["layer"], e["centerX"], e["centerY"], e["width"], e["height"], e["alpha"])
                   for e in player_events("layer") if e["centerX"] == 30 and e["by"] == "layer"]
            # The player logs the two layers one after the other.
            return got[-2:] if len(got) >= 2 else None
        placed = poll(layers_placed, KEY_WAIT, "both layers placed")
        self.assertEqual(placed, [("browser", 30, 50, 40, 60, 128), ("video", 30, 50, 40, 60, 128)])
        # Out-of-range fields: refused, nothing sent to the player.
        for text in ("VSCALE,-1", "VSCALE,10,20,400", "VSCALE,1,2,3,4,256", "VSCALE,5,,99999999999"):
            self.assertReply("rx", text, KO)
        self.assertEqual(read_text("rx", "stdout.log")[start:].count("k720cmmd -ps"), 1)

    def test_resolution_change_replays_the_last_unit(self):
        self.assertReply("rx", "UNIT1,239.1.9.9,4999,0,31", OK, timeout=30)
        ctl = Controller()
        try:
            got = ctl.command(device("rx"), "RESOLUTION?", 15)
            m = re.fullmatch(rb"RESOLUTION(\d+) OK\r\n", got or b"")
            self.assertIsNotNone(m, got)
            current = int(m.group(1))
            wanted = 3 if current != 3 else 2
            start = len(read_text("rx", "stdout.log"))
            self.assertReply("rx", "RESOLUTION%d" % current, OK, ctl=ctl, timeout=15)
            self.assertReply("rx", "RESOLUTION%d" % wanted, OK, ctl=ctl, timeout=30)
            self.assertReply("rx", "RESOLUTION?", b"RESOLUTION%d OK\r\n" % wanted, ctl=ctl,
                             timeout=15)
            log = stdout_lines(start)
            # Same value first: nothing stopped; then stop, and the same UNIT again.
            stop = log.index("k720cmmd -stopall\n")
            replay = log.index("k720cmmd -udp 239.1.9.9 4999 31 0 50 50 100 100 0 255 0\n", stop)
            self.assertGreater(replay, stop)
            self.assertEqual(log.count("k720cmmd -udp 239.1.9.9 4999"), 1, log)
            saves = [e["request"] for e in agent_sets() if e["request"].startswith(CONFIG_SAVE)]
            self.assertEqual(saves[-1], CONFIG_SAVE + " i 1")
            self.assertReply("rx", "RESOLUTION99999999999", KO, ctl=ctl)
        finally:
            ctl.command(device("rx"), "UNIT0", 30)
            ctl.close()
        status = Controller().command(device("rx"), "STATUS", 15)
        self.assertTrue(status.startswith(b"STATUS 0 0.0.0.0:0 "), status)


class Webctl(DeviceTestCase):
    def test_url_to_the_browser_and_a_setting_through_the_agent(self):
        before = len(read_jsonl("rx", "browser.jsonl"))
        r = exec_host("rx", "webctl", "http://10.77.0.10/webctl.html", check=False)
        self.assertEqual(r.returncode, 0, r.stdout)
        page = poll(lambda: [e for e in read_jsonl("rx", "browser.jsonl")[before:]
                             if e.get("event") == "command"], KEY_WAIT, "the page at the browser")
        self.assertEqual((page[0]["text"], page[0]["size"]), ("http://10.77.0.10/webctl.html", 256))

        r = exec_host("rx", "webctl", "-H", DOMAIN, "s", "set-by-webctl", check=False)
        self.assertEqual((r.returncode, r.stdout.splitlines()[-1]), (0, '"set-by-webctl"'))
        last = agent_sets()[-1]
        self.assertEqual(last["request"], DOMAIN + " s set-by-webctl")

    def test_silent_browser_gets_nothing(self):
        # A host of its own IPC keys with a browser that never answers.
        script = ('browser --silent --hostdir "$0" & b=$!; '
                  'until [ -s "$0/browser.jsonl" ]; do sleep 0.05; done; '
                  'webctl http://10.77.0.10/x; rc=$?; kill $b; wait $b; exit $rc')
        # (a directory the host sees: its /tmp is its own)
        d = os.path.join(host_dir("rx"), "silent-browser")
        os.makedirs(d, exist_ok=True)
        r = exec_host("rx", "unshare", "--ipc", "sh", "-c", script, d, check=False)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertIn("bcontr: Error receiving msg", r.stdout)
        log = [json.loads(line) for line in open(os.path.join(d, "browser.jsonl"))]
        self.assertEqual([e["answered"] for e in log if e["event"] == "status"], [False])
        self.assertEqual([e for e in log if e["event"] == "command"], [])

class Startup(DeviceTestCase):
    def test_receiver_start_up_order(self):
        """IR mode code 110, IR_CONTROL 16, NETWORK_BUFFER_SIZE 3072, then
        "k720cmmd -vdbg 22 1", after the construction's IR_CONTROL 0.  Each
        step is timed where it is seen: the agent's `received`, the player's
        command `ts`, the window (`since`, `ts`] of the code's change."""
        sets = agent_sets()
        ir0 = [e for e in sets if e["request"] == IR_CONTROL + " i 0"][0]
        code = [e for e in player_events("ir_system_code") if e["code"] == IR_MODE_CODE][0]
        ir16 = [e for e in sets if e["request"] == IR_CONTROL + " i 16"
                and e["received"] > code["since"]][0]
        nbs = [e for e in sets if e["request"] == NETWORK_BUFFER_SIZE + " i 3072"][0]
        vdbg = [e for e in player_events("cmd")
                if e.get("paramVal") == 22 and e.get("param", [None])[0] == 1][0]
        self.assertEqual(code["word"], ((255 - IR_MODE_CODE) << 8) + IR_MODE_CODE)
        self.assertLess(ir0["received"], code["since"])
        self.assertLess(code["since"], ir16["received"])
        self.assertLess(ir16["received"], nbs["received"])
        self.assertLess(nbs["received"], vdbg["ts"])
        # Nothing of the start-up comes twice.
        self.assertEqual(len([e for e in sets if e["request"] == NETWORK_BUFFER_SIZE + " i 3072"]), 1)
        self.assertEqual(len([e for e in player_events("cmd") if e.get("paramVal") == 22]), 1)

# The world's channel 5 (devsim --channel 5=...): dvbt-france2-3lang.ts, its
# program 0x101 (PMT PID 0x6E) with audio PIDs 0x82 "fre", 0x83 "qad" (the
# last language of its descriptor) and 0x84 "qaa".
GROUP, PORT = "239.1.1.1", 1234


class Play(DeviceTestCase):
    def language_lines(self, ctl):
        """LAN? until the played program's PMT has been seen: its lines."""
        def ask():
            ctl.drain()
            ctl.send(device("rx"), "LAN?")
            got = ctl.collect(5, until=lambda g: any(d.endswith(b"OK\r\n") for d in g))
            answer = [d for d in got if d.endswith(b"OK\r\n")]
            # A line with a language: the PMT has been read, not only the PAT.
            if answer and re.search(rb"LANG [0-9a-f]{4} [0-9a-f]{4} [a-z]", answer[0]):
                return answer[0]
            time.sleep(0.3)
            return None
        return poll(ask, 30, "the languages of the played program")

    @unittest.skipUnless(has_device("tx"), "needs the transmitter (devsim --tx)")
    def test_languages_of_a_played_stream(self):
        with Controller() as ctl:
            tx = device("tx")
            self.assertEqual(ctl.command(tx, "UNIT1,%s,%d,5,1,101" % (GROUP, PORT), 60), OK)
            try:
                ctl.command(device("rx"), "DEBUG1")
                start = len(read_text("rx", "stdout.log"))
                self.assertReply("rx", "UNIT1,%s,%d,0,101" % (GROUP, PORT), OK, ctl=ctl, timeout=30)
                # The player joins and hands the program's PAT to the plug-in.
                pat = poll(lambda: [e for e in player_events("section")
                                    if e["pid"] == 0 and e["programs"] == 1], KEY_WAIT, "a PAT")
                self.assertEqual(pat[-1]["table"], 0)
                # The transport id is the PAT's (the sample's is 1), whichever
                # of the PAT and the PMT came first.
                lines = self.language_lines(ctl).split(b"\r\n")
                self.assertEqual(lines[-2:], [b"OK", b""], lines)
                self.assertIn(b"LANG 0001 0101 fre00,qad00,qaa00", lines)

                self.assertReply("rx", "LANG qaa", OK, ctl=ctl, timeout=30)
                wait_for_text("rx", "stdout.log", re.escape(
                    "k720cmmd -vs 50 50 100 100 0 255 0 -vdbg 14 101 84 \n"), KEY_WAIT, start)
                switch = poll(lambda: player_events("audio_pid"), KEY_WAIT, "the audio switch")
                self.assertEqual((switch[-1]["program"], switch[-1]["audio"]), (0x101, 0x84))
                self.assertTrue(switch[-1]["playing"], switch[-1])

                self.assertReply("rx", "UNIT0", OK, ctl=ctl, timeout=30)
                status = ctl.command(device("rx"), "STATUS", 15)
                self.assertTrue(status.startswith(b"STATUS 0 0.0.0.0:0 "), status)
            finally:
                ctl.command(device("rx"), "DEBUG0")
                ctl.command(tx, "UNIT0", 30)

if __name__ == "__main__":
    main()
