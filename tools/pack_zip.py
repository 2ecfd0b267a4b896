#!/usr/bin/env python3
"""Packs files into a ZIP whose bytes depend only on the files' names and
contents and on one given time: the entries in name order, each stamped with
that time (as UTC), marked as plain files readable by everyone, deflated at
the highest level, with no extra fields.

Usage: pack_zip.py OUTPUT.zip EPOCH FILE...   (each FILE under its base name)
"""
import os
import sys
import time
import zipfile

# A ZIP entry's time cannot lie before 1980.
EARLIEST = 315532800


def pack(output, epoch, files):
    stamp = time.gmtime(max(int(epoch), EARLIEST))[:6]
    with zipfile.ZipFile(output, "w") as archive:
        for path in sorted(files, key=os.path.basename):
            entry = zipfile.ZipInfo(os.path.basename(path), date_time=stamp)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3  # Unix, so that the permissions below are read
            entry.external_attr = 0o100644 << 16
            with open(path, "rb") as f:
                archive.writestr(entry, f.read(), compresslevel=9)


if __name__ == "__main__":
    if len(sys.argv) < 4 or not sys.argv[2].isdigit():
        sys.exit(__doc__.strip().splitlines()[-1])
    pack(sys.argv[1], sys.argv[2], sys.argv[3:])
