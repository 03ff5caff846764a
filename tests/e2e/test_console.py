#!/usr/bin/env python3
"""`vyxctl serve` in a real browser (headless Chromium through Selenium),
on the controller host of a world with two transmitters and a receiver:
the first transmitter's band holds the WNET capture (channel 3) and the
three-program sample multiplex (channel 5, made with ffmpeg by
with_sample_stream.sh), the second's the generated multiplex with
Huffman-coded guide texts and no audio or video packets (channel 9).

Each page loads without a JavaScript error; the scan runs to its end with
the bar moving; a lineup typed, saved and applied from the page turns
healthy; the guide grid shows the decoded titles; a room switched to
another channel is confirmed by the receiver's STATUS; a stopped receiver
is marked.  Screenshots of each page go to $VYX_CONSOLE_SHOTS (default:
shots/ in the world directory)."""

import io
import os
import signal
import socket
import subprocess
import sys
import tarfile
import time
import urllib.request

from vyxe2e import Controller, DeviceTestCase, device, main, poll, standin_pid, world_dir

try:
    from selenium import webdriver
except ImportError:     # Debian's package, when python3 is another interpreter
    sys.path.append("/usr/lib/python3/dist-packages")
    try:
        from selenium import webdriver
    except ImportError:
        webdriver = None
if webdriver is not None:
    from selenium.webdriver.chrome.service import Service as ChromeService
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select

TOKEN = "e2e-secret"
LINEUP = """{"channels": [
  {"channel": "1:1", "tuner": 5, "to": "239.1.1.1:1234"},
  {"channel": "1:2", "tuner": 5, "to": "239.1.1.2:1234"},
  {"channel": "GUIDE-1", "to": "239.1.1.3:1234"}
]}"""
CHROME_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--disable-dev-shm-usage"]


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Console(DeviceTestCase):
    @classmethod
    def setUpClass(cls):
        if webdriver is None or not os.path.exists("/usr/bin/chromedriver"):
            print("no selenium or chromedriver (scripts/deps.sh): skipped", file=sys.stderr)
            sys.exit(77)
        cls.shots = os.environ.get("VYX_CONSOLE_SHOTS") or os.path.join(world_dir(), "shots")
        os.makedirs(cls.shots, exist_ok=True)
        cls.port = free_port()
        cls.base = "http://127.0.0.1:%d/" % cls.port
        cls.lineup = os.path.join(world_dir(), "lineup.json")
        cls.server = subprocess.Popen(
            ["vyxctl", "serve", "--listen", "127.0.0.1:%d" % cls.port, "--token", TOKEN,
             "--lineup", cls.lineup], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        poll(lambda: cls.get("api/devices", quiet=True), 30, "the console server")
        options = webdriver.ChromeOptions()
        for flag in CHROME_FLAGS + ["--user-data-dir=" + os.path.join(world_dir(), "chrome"),
                                    "--window-size=1280,800"]:
            options.add_argument(flag)
        options.binary_location = "/usr/bin/chromium"
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        service = ChromeService(executable_path="/usr/bin/chromedriver")
        cls.browser = webdriver.Chrome(options=options, service=service)
        cls.browser.implicitly_wait(0)
        cls.browser.get(cls.base + "?token=" + TOKEN)

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "browser", None):
            cls.browser.quit()
        if getattr(cls, "server", None):
            cls.server.terminate()
            cls.server.communicate(timeout=10)
        super().tearDownClass()

    @classmethod
    def get(cls, path, quiet=False):
        req = urllib.request.Request(cls.base + path, headers={"X-Vyx-Token": TOKEN})
        try:
            with urllib.request.urlopen(req, timeout=30) as r:
                return r.read().decode()
        except OSError:
            if quiet:
                return None
            raise

    # ------------------------------------------------------------ helpers
    def page(self, name):
        self.browser.find_element(By.CSS_SELECTOR, '#menu a[data-page="%s"]' % name).click()
        poll(lambda: self.browser.find_element(By.ID, "page-" + name).is_displayed(), 5,
             "the %s page" % name)

    def text(self, css):
        # read in one step in the page: the pages replace their rows as they refresh
        return self.browser.execute_script(
            "return [...document.querySelectorAll(arguments[0])].map(e => e.innerText.trim())"
            ".join(' ').replace(/\\s+/g, ' ')", css)

    def classes(self, css):
        return self.browser.execute_script(
            "const e = document.querySelector(arguments[0]); return e ? e.className : ''", css)

    def shot(self, name):
        self.browser.save_screenshot(os.path.join(self.shots, "console-%s.png" % name))

    def assertNoScriptErrors(self):
        errors = [e for e in self.browser.get_log("browser") if e["level"] == "SEVERE"]
        self.assertEqual(errors, [])

    def assertNoHorizontalScroll(self):
        wide = self.browser.execute_script(
            "return document.scrollingElement.scrollWidth - document.scrollingElement.clientWidth")
        self.assertLessEqual(wide, 0)

    # -------------------------------------------------------------- pages
    def test_1_devices_and_every_control_labelled(self):
        self.page("devices")
        poll(lambda: self.text("#devices-table tbody").count("0.82.14") == 3, 30,
             "every device with its version", interval=0.5)
        rows = self.text("#devices-table tbody")
        self.assertIn(device("tx")[0], rows)
        self.assertIn("signal", rows)           # the transmitter's STATUS decoded
        self.assertIn("playing", rows)          # the receiver's
        unlabelled = self.browser.execute_script("""
            return [...document.querySelectorAll('input, select, textarea, button')]
              .filter(e => !(e.labels && e.labels.length) && !e.getAttribute('aria-label')
                           && !e.textContent.trim()).map(e => e.id || e.outerHTML);""")
        self.assertEqual(unlabelled, [])
        for page in ("devices", "scan", "lineup", "guide", "rooms"):
            self.page(page)
        self.page("devices")
        self.browser.set_window_size(768, 1024)
        self.assertNoHorizontalScroll()
        self.browser.set_window_size(1280, 800)
        self.assertNoHorizontalScroll()
        self.shot("devices")
        self.assertNoScriptErrors()

    def scan(self, dev, channel=""):
        Select(self.browser.find_element(By.ID, "scan-device")).select_by_value(dev)
        Select(self.browser.find_element(By.ID, "scan-mode")).select_by_value("atsc")
        only = self.browser.find_element(By.ID, "scan-channel")
        only.clear()
        only.send_keys(channel)
        self.browser.find_element(By.ID, "scan-start").click()
        values = []

        def finished():
            values.append(float(self.browser.find_element(By.ID, "scan-bar")
                                .get_attribute("value")))
            return "done" in self.text("#scan-text") and self.text("#scan-channels tbody")
        poll(finished, 150, "the scan's end", interval=0.5)
        values.append(float(self.browser.find_element(By.ID, "scan-bar").get_attribute("value")))
        return values

    def test_2_scan_runs_to_its_end_with_the_bar_moving(self):
        self.page("scan")
        poll(lambda: len(Select(self.browser.find_element(By.ID, "scan-device")).options) == 2,
             10, "both transmitters in the scan's list")
        values = self.scan("%s:%d" % device("tx"))
        self.assertGreaterEqual(len(set(values)), 4, values)
        self.assertEqual(values, sorted(values))     # it never goes back
        self.assertEqual(values[-1], 1.0)
        table = self.text("#scan-channels tbody")
        self.assertIn("13.1 WNET-HD 2011:3", table)
        self.assertIn("1:3", table)                  # the sample multiplex's third program
        self.assertIn("locked 2", self.text("#scan-text"))
        self.shot("scan")
        # the second transmitter's one channel, where the tuner then stays
        self.scan(os.environ["VYX_TX2"], "9")
        self.assertIn("20.2 GUIDE-2 257:2 9", self.text("#scan-channels tbody"))
        self.assertNoScriptErrors()

    def test_3_lineup_from_the_page_turns_healthy(self):
        self.page("lineup")
        box = self.browser.find_element(By.ID, "lineup-text")
        box.clear()
        box.send_keys('{"channels": [{"channel": "20.1", "to": "10.0.0.1:1234"}]}')
        self.browser.find_element(By.ID, "lineup-save").click()
        poll(lambda: "multicast" in self.text("#lineup-msg"), 5, "the wrong group refused")
        self.assertFalse(os.path.exists(self.lineup))    # nothing was sent to be saved
        self.browser.execute_script("arguments[0].value = arguments[1]", box, LINEUP)
        self.browser.find_element(By.ID, "lineup-save").click()
        poll(lambda: "saved 3 channel" in self.text("#lineup-msg"), 10, "the lineup saved")
        self.browser.find_element(By.ID, "lineup-apply").click()
        health = "#lineup-table tbody td:nth-child(9)"

        def settled():
            return ("lineup applied" in self.text("#lineup-msg") and
                    self.text(health).count("healthy") == 2 and "faulty" in self.text(health))
        try:
            poll(settled, 120, "the lineup applied and checked", interval=1.0)
        except AssertionError:
            raise AssertionError("lineup table: %s / %s" % (self.text("#lineup-table tbody"),
                                                             self.text("#lineup-msg")))
        rows = self.browser.execute_script(
            "return [...document.querySelectorAll('#lineup-table tbody tr')].map("
            "r => [...r.cells].map(c => c.innerText.trim()))")
        self.assertEqual([(r[0], r[2], r[4]) for r in rows],
                         [("1", "239.1.1.1:1234", "started"), ("2", "239.1.1.2:1234", "started"),
                          ("3", "239.1.1.3:1234", "started")])
        self.assertEqual([r[8].split("\n")[0] for r in rows], ["healthy", "healthy", "faulty"])
        # the generated multiplex carries no audio or video packets: said beside it
        self.assertIn("elementary PID(s) 0x42, 0x43 missing", rows[2][8])
        self.assertEqual([r[3].split(" / ")[0] for r in rows],
                         ["%s:%d" % device("tx")] * 2 + [os.environ["VYX_TX2"]])
        # each transmitter's signal, once its STATUS is read again (strengths 5 and 4)
        poll(lambda: self.text("#lineup-table tbody td:nth-child(8)") == "5/5 5/5 4/5", 20,
             "the signal beside each channel", interval=1.0)
        m3u = self.get("lineup.m3u")
        self.assertIn("udp://@239.1.1.2:1234", m3u)
        self.assertIn('tvg-chno="20.1"', m3u)
        self.shot("lineup")
        self.assertNoScriptErrors()

    def test_4_guide_grid_shows_the_decoded_titles(self):
        self.page("guide")
        poll(lambda: "Morning News" in self.text(".grid-cell"), 60, "the guide's titles",
             interval=1.0)
        cells = self.text(".grid-cell")
        for title in ("Cook ~ with [Ana] {live}", "Kids Block", "Science Hour"):
            self.assertIn(title, cells)
        cell = [c for c in self.browser.find_elements(By.CSS_SELECTOR, ".grid-cell")
                if c.text.startswith("Movie:")][0]
        cell.send_keys("\n")                      # by keyboard
        poll(lambda: "questions" in self.text("#guide-detail"), 5, "the description")
        self.assertIn("A film about questions; 1999 (R).", self.text("#guide-detail"))
        self.shot("guide")
        self.assertNoScriptErrors()

    def test_5_room_switched_to_another_channel(self):
        self.page("rooms")
        rx = "%s:%d" % device("rx")
        row = '#rooms-table tr[data-key="%s"]' % rx
        poll(lambda: self.browser.find_elements(By.CSS_SELECTOR, row + " select option"), 15,
             "the lineup's channels in the room's list")
        with Controller() as ctl:
            for value, group, program in (("1", "239.1.1.1", 1), ("2", "239.1.1.2", 2)):
                Select(self.browser.find_element(By.CSS_SELECTOR, row + " select")) \
                    .select_by_value(value)
                self.browser.find_element(By.XPATH, "//tr[@data-key='%s']//button[text()="
                                          "'Play on this receiver']" % rx).click()
                poll(lambda: "done" in self.text(row + " .msg"), 60, "play acknowledged")
                status = ctl.command(device("rx"), "STATUS", 10.0)
                self.assertRegex(status.decode(), r"^STATUS \d+ %s:1234 \d+:%04x "
                                 % (group.replace(".", r"\."), program))
        poll(lambda: "239.1.1.2:1234 program 2" in self.text(row + " td:nth-child(2)"), 15,
             "the room showing its new channel", interval=0.5)
        self.assertNotIn("not in the lineup", self.text(row + " td:nth-child(2)"))
        lang = self.browser.find_element(By.CSS_SELECTOR, row + " input")
        lang.send_keys("SP")                    # refused before anything is sent
        self.browser.find_element(By.XPATH, "//tr[@data-key='%s']//button[text()="
                                  "'Set audio language']" % rx).click()
        self.assertIn("three lower-case letters", self.text(row + " .msg"))
        lang.clear()
        lang.send_keys("spa")
        self.browser.find_element(By.XPATH, "//tr[@data-key='%s']//button[text()="
                                  "'Set audio language']" % rx).click()
        poll(lambda: self.text(row + " td:nth-child(3)") == "spa", 30, "the language set")
        self.shot("rooms")
        self.assertNoScriptErrors()

    def test_6_stopped_device_is_marked(self):
        self.page("devices")
        rx = "%s:%d" % device("rx")
        row = '#devices-table tr[data-key="%s"]' % rx
        player = standin_pid("rx", "mediaplayer")
        os.kill(player, signal.SIGSTOP)
        try:
            started = time.monotonic()
            poll(lambda: "silent" in self.classes(row), 15, "the stopped receiver marked",
                 interval=0.5)
            marked = time.monotonic() - started
            self.assertIn("no reply", self.text(row))
            self.shot("devices-stopped")
        finally:
            os.kill(player, signal.SIGCONT)
        print("stopped receiver marked after %.1f s" % marked, file=sys.stderr)
        poll(lambda: "silent" not in self.classes(row), 20, "the receiver back", interval=0.5)
        self.assertNoScriptErrors()

    def test_7_fleet_upgrade_of_the_receivers(self):
        self.page("rooms")
        path = os.path.join(world_dir(), "firmware.tar")
        with tarfile.open(path, "w") as tar:
            data = bytes(range(256)) * 16
            info = tarfile.TarInfo("firmware.bin")
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
        size = os.path.getsize(path)
        self.browser.find_element(By.ID, "upgrade-file").send_keys(path)
        Select(self.browser.find_element(By.ID, "upgrade-role")).select_by_value("receiver")
        self.browser.find_element(By.ID, "upgrade-start").click()
        self.browser.switch_to.alert.accept()       # it says what it sends, and asks
        rx = "%s:%d" % device("rx")
        poll(lambda: "restarted" in self.text("#upgrade-table tbody"), 120,
             "the receiver upgraded and restarted", interval=1.0)
        self.assertEqual(self.text("#upgrade-table tbody"),
                         "%s %d of %d restarted 0.82.14" % (rx, size, size))
        self.shot("rooms")
        self.assertNoScriptErrors()


if __name__ == "__main__":
    main()
