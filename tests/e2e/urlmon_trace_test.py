#!/usr/bin/env python3
"""Wine's loader trace of the real launcher.exe, started in a game folder as a
player starts it: urlmon, whose table for the process holds the portal page's
locks, stays loaded from the locks until the browser control (ieframe.dll) is
created. A test program that links urlmon itself keeps it loaded whatever the
launcher does, so only the launcher's own process can show this.

Usage: urlmon_trace_test.py BUILD_DIR
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

BUILD_DIR = None


class UrlmonInTheLauncher(unittest.TestCase):
    def trace(self):
        folder = tempfile.mkdtemp(prefix="launcher-trace-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        shutil.copy(os.path.join(BUILD_DIR, "launcher.exe"), folder)
        shutil.copy(os.path.join(BUILD_DIR, "tests", "stub_target.exe"),
                    os.path.join(folder, "_Varnholt.exe"))
        path = os.path.join(folder, "trace.txt")
        env = dict(os.environ, WINEDEBUG="+pid,+loaddll,+urlmon")
        # To a file: Wine's helper processes may inherit the handle.
        with open(path, "wb") as out:
            process = subprocess.Popen(["wine", "launcher.exe"], cwd=folder, env=env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=out)
        try:
            deadline = time.monotonic() + 30
            while b"ieframe.dll" not in open(path, "rb").read() and time.monotonic() < deadline:
                time.sleep(0.05)
        finally:
            process.kill()
            process.wait()
        return open(path, "rb").read().decode("latin-1").splitlines()

    def test_urlmon_stays_loaded_from_the_locks_to_the_control(self):
        lines = self.trace()
        # Helper processes write to the same file: only the launcher's lines count.
        own = next((line.split(":")[0] + ":" for line in lines
                    if re.search(r'Loaded L".*\\launcher\.exe"', line)), None)
        self.assertIsNotNone(own, "no loader trace of launcher.exe")
        events = []
        for line in lines:
            if not line.startswith(own):
                continue
            event = ("urlmon loaded" if re.search(r'Loaded L".*\\urlmon\.dll"', line) else
                     "urlmon unloaded" if re.search(r'Unloaded module L".*\\urlmon\.dll"', line)
                     else "locks" if "CoInternetSetFeatureEnabled (" in line else
                     "control" if re.search(r'Loaded L".*\\ieframe\.dll"', line) else None)
            if event and (not events or events[-1] != event):
                events.append(event)
        self.assertEqual(["urlmon loaded", "locks", "control"], events)


if __name__ == "__main__":
    BUILD_DIR = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
