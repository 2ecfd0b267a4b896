#!/usr/bin/env python3
"""Two release packages of the same sources (a clean clone of their commit,
with their uncommitted changes), built one after the other in two folders of
different names under different time zones and umasks, are the same bytes,
and the program holds neither folder's name.

Usage: reproducible_test.py SOURCE_DIR
"""
import io
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

SOURCE = None


def git(*args, cwd=None):
    return subprocess.run(["git", "-C", cwd or SOURCE, *args], capture_output=True,
                          check=True).stdout.decode()


def package(folder, zone, umask):
    subprocess.run(["git", "clone", "-q", SOURCE, folder], check=True)
    git("checkout", "-q", "--detach", git("rev-parse", "HEAD").strip(), cwd=folder)
    for name in git("ls-files", "-z", "--cached", "--others", "--exclude-standard").split("\0"):
        if name and os.path.isfile(os.path.join(SOURCE, name)):
            os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
            shutil.copy(os.path.join(SOURCE, name), os.path.join(folder, name))
    env = {k: v for k, v in os.environ.items() if not k.startswith(("LAUNCHER_", "SOURCE_DATE"))}
    subprocess.run(["bash", "-c", "umask %s && scripts/package.sh >build.log 2>&1" % umask],
                   cwd=folder, env=dict(env, TZ=zone), check=True)
    release = pathlib.Path(folder, "build", "release")
    subprocess.run(["sha256sum", "--quiet", "-c", "SHA256SUMS"], cwd=release, check=True)
    return {p.relative_to(release).as_posix(): p.read_bytes() for p in
            [release / "SHA256SUMS", release / "unsigned" / "launcher.exe"] +
            list(release.glob("*.zip"))}


class ReleasePackage(unittest.TestCase):
    def test_two_builds_in_different_folders_are_the_same_bytes(self):
        with tempfile.TemporaryDirectory(prefix="launcher-repro-") as top:
            first = package(os.path.join(top, "a"), "UTC", "022")
            second = package(os.path.join(top, "a longer folder name", "b"), "Asia/Tokyo", "077")
        print(first["SHA256SUMS"].decode(), end="")
        self.assertEqual(3, len(first))
        self.assertEqual(sorted(first), sorted(second))
        for name in first:
            self.assertTrue(first[name] == second[name], name + " differs")
        program = first["unsigned/launcher.exe"]
        for name in (os.path.basename(top), "a longer folder name"):
            self.assertNotIn(name.encode(), program)
            self.assertNotIn(name.encode("utf-16-le"), program)
        package_name = [name for name in first if name.endswith(".zip")][0]
        with zipfile.ZipFile(io.BytesIO(first[package_name])) as z:
            entry, = z.infolist()
            self.assertEqual("launcher.exe", entry.filename)
            # The commit's time, to the two seconds that a ZIP entry can tell apart.
            stamp = time.gmtime(int(git("log", "-1", "--format=%ct")))
            self.assertEqual(stamp[:5] + (stamp[5] & ~1,), entry.date_time)
            self.assertEqual(0o100644, entry.external_attr >> 16)
            self.assertEqual(program, z.read(entry))


if __name__ == "__main__":
    SOURCE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
