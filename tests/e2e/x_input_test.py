#!/usr/bin/env python3
"""The real launcher.exe under Wine, driven by real X input (xdotool): a
mouse click on PLAY, and key presses. Runs inside scripts/with-wine.sh, which
provides the Wine prefix and the X display. Wine there keeps its windows to
itself (no window manager places them) and gives the active window the X
keyboard focus, so the keys reach the launcher as a player's would.

Usage: x_input_test.py BUILD_DIR
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

BUILD_DIR = None

# The launcher template's size and the PLAY button's rectangle, in dialog units.
DIALOG_UNITS = (433, 236)
PLAY_RECT = (7, 215, 76, 14)


def wait_for(predicate, timeout=15.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return None


def xdotool(*args):
    result = subprocess.run(["xdotool", *args], capture_output=True, text=True)
    return result.stdout.strip() if result.returncode == 0 else ""


class LauncherUnderX(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="launcher-x-")
        stub = os.path.join(BUILD_DIR, "tests", "stub_target.exe")
        shutil.copy(stub, os.path.join(self.folder, "_Varnholt.exe"))
        shutil.copy(stub, os.path.join(self.folder, "xpad.exe"))
        self.log = os.path.join(BUILD_DIR, "tests", "url_recorder.log")
        self.urls_before = self.recorded_urls()
        self.process = subprocess.Popen(
            ["wine", self.program()], cwd=self.folder,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.window = wait_for(
            lambda: xdotool("search", "--onlyvisible", "--name", "^Varnholt$").split("\n")[0])
        self.assertTrue(self.window, "the launcher window did not show")
        # Wine gives the new, active window the focus.
        self.assertTrue(wait_for(lambda: xdotool("getwindowfocus") == self.window, 5.0),
                        "the launcher window did not get the focus")

    def tearDown(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)

    def program(self):
        return os.path.join(BUILD_DIR, "launcher.exe")

    def recorded_urls(self):
        try:
            with open(self.log, "rb") as f:
                return f.read().decode("latin-1").splitlines()
        except FileNotFoundError:
            return []

    def ran(self, name):
        return os.path.exists(os.path.join(self.folder, name + ".ran"))

    def exit_code(self):
        try:
            return self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.fail("the launcher did not exit")

    def test_click_on_play_opens_the_game(self):
        geometry = dict(line.split("=", 1) for line in
                        xdotool("getwindowgeometry", "--shell", self.window).splitlines())
        width, height = int(geometry["WIDTH"]), int(geometry["HEIGHT"])
        x, y, w, h = PLAY_RECT
        px = (x + w / 2) * width / DIALOG_UNITS[0]
        py = (y + h / 2) * height / DIALOG_UNITS[1]
        xdotool("mousemove", "--window", self.window, str(int(px)), str(int(py)))
        xdotool("click", "1")
        self.assertEqual(0, self.exit_code())
        self.assertTrue(wait_for(lambda: self.ran("_Varnholt"), 10.0), "the game did not run")
        self.assertFalse(self.ran("xpad"))
        self.assertEqual(self.urls_before, self.recorded_urls())

    def test_enter_and_escape_keep_it_open_and_space_on_close_ends_it(self):
        xdotool("key", "--window", self.window, "Escape")
        xdotool("key", "--window", self.window, "Return")
        time.sleep(1.0)
        self.assertIsNone(self.process.poll(), "Enter or Escape closed the launcher")
        self.assertFalse(self.ran("_Varnholt"))
        # Tab moves from PLAY to CLOSE; space presses the focused button.
        xdotool("key", "--window", self.window, "Tab")
        xdotool("key", "--window", self.window, "space")
        self.assertEqual(0, self.exit_code())
        new = wait_for(lambda: self.recorded_urls()[len(self.urls_before):], 10.0)
        self.assertTrue(new, "the statistics page was not opened")
        self.assertRegex(new[0], r"^http://[^/]+/stats/varnholt\.html$")
        self.assertFalse(self.ran("_Varnholt") or self.ran("xpad"))


if __name__ == "__main__":
    BUILD_DIR = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
