#!/usr/bin/env python3
"""The release package signed with a throwaway authority's certificates, made
here with openssl: the signed launcher.exe verifies, differs from the unsigned
program by its signature alone and still runs (PLAY opens the game); a
certificate that cannot sign fails with a clear message and no package.
Runs inside scripts/with-wine.sh.

Usage: signing_test.py SOURCE_DIR BUILD_DIR
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

SOURCE = BUILD_DIR = KEYS = RELEASE = None
PACKAGED = ""


def openssl(*args):
    subprocess.run(["openssl", *args], cwd=KEYS, check=True, capture_output=True)


def make_certificates():
    """The authority, and one key certified for code signing, expired, and for
    web servers only, each in a PKCS#12 file locked with password.txt."""
    (KEYS / "password.txt").write_text("correct horse\n")
    (KEYS / "wrong.txt").write_text("battery staple\n")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt",
            "-days", "2", "-subj", "/CN=Throwaway Test Authority",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=keyCertSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "signer.key", "-out", "signer.csr",
            "-subj", "/CN=Throwaway Test Publisher")
    for serial, (name, days, usage) in enumerate([("good", "1", "codeSigning"),
                                                  ("expired", "-1", "codeSigning"),
                                                  ("server", "1", "serverAuth")], start=1):
        (KEYS / name).write_text("extendedKeyUsage=%s\n" % usage)
        openssl("x509", "-req", "-in", "signer.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                "-set_serial", str(serial), "-days", days, "-extfile", name, "-out", name + ".crt")
        openssl("pkcs12", "-export", "-inkey", "signer.key", "-in", name + ".crt", "-certfile",
                "ca.crt", "-out", name + ".p12", "-passout", "file:password.txt")


def package(p12, password="password.txt", timestamp=""):
    env = dict(os.environ, LAUNCHER_RELEASE_DIR=str(RELEASE), LAUNCHER_SIGN_PKCS12=str(KEYS / p12),
               LAUNCHER_SIGN_PASSWORD_FILE=str(KEYS / password),
               LAUNCHER_SIGN_TIMESTAMP_URL=timestamp)
    # The program asks a closed loopback port for its portal page.
    return subprocess.run([os.path.join(SOURCE, "scripts", "package.sh"),
                           "-DLAUNCHER_PORTAL_HOST=127.0.0.1:9"],
                          env=env, capture_output=True, text=True)


def setUpModule():
    global KEYS, RELEASE, PACKAGED
    KEYS = pathlib.Path(tempfile.mkdtemp(prefix="launcher-keys-"))
    RELEASE = pathlib.Path(BUILD_DIR, "release-signing")
    make_certificates()
    result = package("good.p12")
    PACKAGED = result.stdout + result.stderr
    assert result.returncode == 0, PACKAGED[-3000:]
    # Kept apart: the failing runs below remove the package folder's files.
    with zipfile.ZipFile(next(RELEASE.glob("*.zip"))) as z:
        (KEYS / "launcher.exe").write_bytes(z.read("launcher.exe"))
    shutil.copy(RELEASE / "SHA256SUMS", KEYS)
    shutil.copy(RELEASE / "unsigned" / "launcher.exe", KEYS / "unsigned.exe")


def tearDownModule():
    shutil.rmtree(KEYS, ignore_errors=True)


class SignedPackage(unittest.TestCase):
    def test_verifies_and_differs_from_the_unsigned_program_by_its_signature_alone(self):
        result = subprocess.run(["osslsigncode", "verify", "-CAfile", str(KEYS / "ca.crt"),
                                 "-in", str(KEYS / "launcher.exe")], capture_output=True, text=True)
        print(result.stdout)
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        self.assertIn("Signature verification: ok", result.stdout)
        self.assertIn("Subject: /CN=Throwaway Test Publisher", result.stdout)
        tool = os.path.join(SOURCE, "tools", "authenticode_digest.py")
        digest = subprocess.run([sys.executable, tool, str(KEYS / "unsigned.exe")],
                                capture_output=True, text=True).stdout.split()[0]
        signed = re.findall(r"(Current|Calculated) message digest\s*:\s*(\w+)", result.stdout)
        self.assertEqual([("Current", digest), ("Calculated", digest)], signed)
        self.assertRegex((KEYS / "SHA256SUMS").read_text(),
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
                self.assertEqual([], [p.name for p in RELEASE.iterdir() if p.suffix == ".zip" or
                                      p.name in ("unsigned", "SHA256SUMS") or
                                      p.name.startswith("package.")])


if __name__ == "__main__":
    SOURCE = os.path.abspath(sys.argv.pop(1))
    BUILD_DIR = os.path.abspath(sys.argv.pop(1))
    sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
    import x_input_test

    x_input_test.BUILD_DIR = BUILD_DIR

    class SignedLauncherUnderX(x_input_test.LauncherUnderX):
        """The signed program driven as a player would: PLAY opens the game."""

        def program(self):
            return str(KEYS / "launcher.exe")

    unittest.main(verbosity=2)
