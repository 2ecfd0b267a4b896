#!/usr/bin/env python3
"""Writes the starting corpus of the config.cfg fuzzers: the format's own cases.

    make_corpus.py DIR          the small inputs (committed in fuzz/corpus)
    make_corpus.py --long DIR   the very long file, made at fuzz time
"""
import os
import sys

EXAMPLE = [b"screenWidth = 1024", b"fullscreen = 1", b"screenHeight = 768", b"bloom = 0"]


def pattern(length, first=ord("a")):
    return bytes(first + i % 26 for i in range(length))


def padded(start, length):
    return start + pattern(length - len(start))


def small_inputs():
    all_keys = [b"screenWidth = 1920", b"screenHeight = 1080", b"screenBPP = 32", b"bloom = 1"]
    return {
        "empty.cfg": b"",
        "crlf.cfg": b"".join(line + b"\r\n" for line in EXAMPLE),
        "lf.cfg": b"".join(line + b"\n" for line in EXAMPLE),
        "cr-alone.cfg": b"fullscreen = 1\rbloom = 1\r\nscreenWidth = 800\rscreenHeight = 600\ngame\r",
        "all-keys.cfg": b"\r\n".join(all_keys) + b"\r\n",
        "columns.cfg": b"screenWidth=1920\nscreenWidth = 19201\nscreenWidthXYZ1920\n"
                       b"bloomStrength = 3\nbloomy = 5\nscreenHeight = 720\nscreenBPP = -7\n"
                       b"screenWidth =\nscreenWidth\nbloom = ",
        "short-lines.cfg": b"\r\ns\r\nscreen\r\nbloo\r\nbloom = 0\r\n\r\nscreenWidth",
        "line-259.cfg": pattern(259) + b"\r\nbloom = 1\r\n",
        "line-260.cfg": pattern(260) + b"\r\n" + padded(b"screenWidth = 1920 ", 260) + b"\r\n",
        "line-261.cfg": pattern(261) + b"\n" + pattern(259) + b"screenHeight = 900\n",
        "key-line-600.cfg": padded(b"bloom = 1", 259) + padded(b"screenBPP = 16 ", 341) + b"\r\n",
        "zero-bytes.cfg": b"data\0more\r\nscreenWidth = 12\0 34\r\nbloom\0 = 1\r\n\0\r\n",
        "high-bytes.cfg": b"name = Bj\xf6rn \xe9\xff\r\nbloom = \xe9\r\n\x80\x81\xfe\xff\r\n",
        "ctrl-z.cfg": b"fullscreen = 1\r\n\x1a\r\na\x1ab\r\nbloom = 1\r\n",
    }


def long_input():
    lines = []
    for i in range(4000):
        kind = i % 8
        if kind == 0:
            lines.append(b"screenWidth = %d" % (640 + i))
        elif kind == 3:
            lines.append(pattern(259 + i % 5, ord("A")))
        elif kind == 5:
            lines.append(b"# line %d \xe9\0 with a zero" % i)
        else:
            lines.append(b"gameSetting%d = %d" % (i, i * 7))
    return b"\r\n".join(lines) + b"\r\n"


def main():
    args = sys.argv[1:]
    long_only = args[:1] == ["--long"]
    if long_only:
        args = args[1:]
    if len(args) != 1:
        sys.exit(__doc__)
    out = args[0]
    os.makedirs(out, exist_ok=True)
    inputs = {"long.cfg": long_input()} if long_only else small_inputs()
    for name, data in inputs.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
