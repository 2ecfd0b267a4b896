#!/usr/bin/env python3
"""Prints the SHA-256 Authenticode digest of Windows programs: the hash that a
signature covers. It leaves out the header's checksum, the entry that points
to the signature and the signature itself, and counts the zero bytes that
signing pads the file with to a multiple of 8. A signed program and the
unsigned one it was made from have the same digest; for a signed one,
`osslsigncode verify` prints it as the message digest.

Usage: authenticode_digest.py PROGRAM.exe...
"""
import hashlib
import struct
import sys


def digest(path):
    with open(path, "rb") as f:
        data = f.read()
    header = struct.unpack_from("<I", data, 0x3C)[0] + 24  # the optional header
    magic = struct.unpack_from("<H", data, header)[0]
    checksum = header + 64
    security = header + (96 if magic == 0x10B else 112) + 4 * 8  # data directory 4
    offset = struct.unpack_from("<I", data, security)[0]
    end = offset if offset else len(data)
    h = hashlib.sha256()
    h.update(data[:checksum])
    h.update(data[checksum + 4:security])
    h.update(data[security + 8:end])
    h.update(b"\0" * (-end % 8))
    return h.hexdigest().upper()


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    for program in sys.argv[1:]:
        print(digest(program), program)
