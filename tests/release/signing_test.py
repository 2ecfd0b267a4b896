#!/usr/bin/env python3
"""The release package signed with a throwaway authority's certificates, made
here with openssl: the signed launcher.exe verifies, differs from the unsigned
program by its signature alone and still runs (PLAY opens the game); a
certificate that cannot sign fails with a clear message and no package.
Runs inside scripts/with-wine.sh.

Usage: signing_test.py SOURCE_DIR BUILD_DIR
"""
import glob
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import unittest
import zipfile

SOURCE = BUILD_DIR = KEYS = RELEASE = None
PACKAGED = ""


def openssl(*args):
    subprocess.run(["openssl", *args], cwd=KEYS.name, check=True, capture_output=True)


def make_certificates():
    """The authority, and one key certified three ways: for code signing,
    expired, and for web servers only; each PKCS#12 locked with password.txt."""
    pathlib.Path(KEYS.name, "password.txt").write_text("correct horse\n")
    pathlib.Path(KEYS.name, "wrong.txt").write_text("battery staple\n")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt",
            "-days", "2", "-subj", "/CN=Throwaway Test Authority",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=keyCertSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "signer.key", "-out", "signer.csr",
            "-subj", "/CN=Throwaway Test Publisher")
    for serial, (name, days, usage) in enumerate(
            [("good", "1", "codeSigning"), ("expired", "-1", "codeSigning"),
             ("server", "1", "serverAuth")], start=1):
        pathlib.Path(KEYS.name, name + ".ext").write_text("extendedKeyUsage=%s\n" % usage)
        openssl("x509", "-req", "-in", "signer.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                "-set_serial", str(serial), "-days", days, "-extfile", name + ".ext",
                "-out", name + ".crt")
        openssl("pkcs12", "-export", "-inkey", "signer.key", "-in", name + ".crt", "-certfile",
                "ca.crt", "-out", name + ".p12", "-passout", "file:password.txt")


def package(p12, password="password.txt", timestamp=""):
    env = dict(os.environ, LAUNCHER_RELEASE_DIR=RELEASE, LAUNCHER_SIGN_TIMESTAMP_URL=timestamp,
               LAUNCHER_SIGN_PKCS12=os.path.join(KEYS.name, p12),
               LAUNCHER_SIGN_PASSWORD_FILE=os.path.join(KEYS.name, password))
    # The program asks a closed loopback port for its portal page.
    return subprocess.run([os.path.join(SOURCE, "scripts", "package.sh"),
                           "-DLAUNCHER_PORTAL_HOST=127.0.0.1:9"],
                          env=env, capture_output=True, text=True)


def keep(name):
    return os.path.join(KEYS.name, name)


def setUpModule():
    global KEYS, RELEASE, PACKAGED
    KEYS = tempfile.TemporaryDirectory(prefix="launcher-keys-")
    RELEASE = os.path.join(BUILD_DIR, "release-signing")
    make_certificates()
    result = package("good.p12")
    PACKAGED = result.stdout + result.stderr
    assert result.returncode == 0, PACKAGED[-3000:]
    # Kept apart: the failing runs below remove the package folder's files.
    with zipfile.ZipFile(glob.glob(os.path.join(RELEASE, "*.zip"))[0]) as z:
        pathlib.Path(keep("launcher.exe")).write_bytes(z.read("launcher.exe"))
    for name in ("SHA256SUMS", "unsigned/launcher.exe"):
        pathlib.Path(keep(os.path.basename(name) + ".kept")).write_bytes(
            pathlib.Path(RELEASE, name).read_bytes())


def tearDownModule():
    KEYS.cleanup()


class SignedPackage(unittest.TestCase):
    def test_verifies_and_differs_from_the_unsigned_program_by_its_signature_alone(self):
        result = subprocess.run(["osslsigncode", "verify", "-CAfile", keep("ca.crt"),
                                 "-in", keep("launcher.exe")], capture_output=True, text=True)
        print(result.stdout)
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        self.assertIn("Signature verification: ok", result.stdout)
        self.assertIn("Subject: /CN=Throwaway Test Publisher", result.stdout)
        tool = os.path.join(SOURCE, "tools", "authenticode_digest.py")
        digest = subprocess.run([sys.executable, tool, keep("launcher.exe.kept")],
                                capture_output=True, text=True).stdout.split()[0]
        self.assertEqual([("Current", digest), ("Calculated", digest)],
                         re.findall(r"(Current|Calculated) message digest\s*:\s*(\w+)", result.stdout))
        self.assertRegex(pathlib.Path(keep("SHA256SUMS.kept")).read_text(),
                         r"^[0-9a-f]{64}  unsigned/launcher\.exe\n"
                         r"[0-9a-f]{64}  VarnholtLauncher-[0-9.]+-win32\.zip\n$")
        self.assertRegex(PACKAGED, r"warning: no timestamp .* stops validating when the cert")

    def test_a_certificate_that_cannot_sign_fails_with_no_package(self):
        cases = [
            ("good.p12", "wrong.txt", "", r"cannot open .*good\.p12 .*wrong password"),
            ("expired.p12", "password.txt", "", r"certificate .* expired on"),
            ("server.p12", "password.txt", "", r"not for code signing"),
            ("missing.p12", "password.txt", "", r"missing\.p12 .* does not exist"),
            ("good.p12", "password.txt", "http://127.0.0.1:9", r"signing failed, no package"),
        ]
        for p12, password, timestamp, message in cases:
            with self.subTest(p12=p12, password=password, timestamp=timestamp):
                result = package(p12, password, timestamp)
                self.assertNotEqual(0, result.returncode)
                self.assertRegex(result.stderr, "package: .*" + message)
                self.assertEqual([], [name for name in os.listdir(RELEASE)
                                      if name.endswith(".zip") or name.startswith("package.")
                                      or name in ("unsigned", "SHA256SUMS")])


if __name__ == "__main__":
    SOURCE = os.path.abspath(sys.argv.pop(1))
    BUILD_DIR = os.path.abspath(sys.argv.pop(1))
    sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
    import x_input_test

    x_input_test.BUILD_DIR = BUILD_DIR

    class SignedLauncherUnderX(x_input_test.LauncherUnderX):
        """The signed program driven as a player would: PLAY opens the game."""

        def program(self):
            return keep("launcher.exe")

    unittest.main(verbosity=2)
