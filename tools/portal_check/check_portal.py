#!/usr/bin/env python3
"""Loads the portal's pages the way the launcher's browser control on Windows
loads them, and says what would leave the player with a blank or broken page.

Usage: check_portal.py [--https] [--timeout SECONDS] [--json] [--fail-on fail|warn]
                       [--pages N] [--sarif FILE] HOST

HOST is what LAUNCHER_PORTAL_HOST holds: a host with an optional port. Prints
one line per check, "PASS|WARN|FAIL NAME: detail" (scripts: one for each
script that fails; stylesheets: one for each that loses layout or colour on
IE11), or with --json the same as one JSON object, and exits with 1 when
any check fails (with --fail-on warn, when any line is not PASS: a gate that
refuses a page whose code was not run). The pages of the portal that a
player can reach from the start page are checked too, up to N with the
start page, each line of theirs after the page's path (pages.py). The checks
of the page's code run under node, by the programs beside this file
(node.py says how).

This file runs the checks in order and prints their lines; the checks
themselves live in the modules beside it.
"""
import argparse
import json
import re
import signal
import sys
import time
from urllib.parse import urlsplit

import box
import host_folder
import lanes
import sarif
from fetching import start_page
from page_checks import check_challenge, check_reachable, check_statistics_page
from pages import DEFAULT_PAGES, aside, check_frames, judged, named, pages_line, path_of, \
    rows_of, visit
from tls import check_tls
from web import NETWORK_ERRORS, listed, why


class Rows(list):
    """The lines of the portal's checks and the start page's, as (name,
    status, detail); start, the start page's address; pages, each further
    page with its lines [(url, rows)]."""
    start = None
    pages = ()


def run(host, https, timeout, bound=1, progress=None):
    """The checks in order, as (name, status, detail), each detail at most
    MOST_LINE characters; a check may give several lines (scripts gives one
    for each script that fails, stylesheets one for each stylesheet that
    loses layout or colour on IE11). With bound past 1, the portal's further
    pages too (pages.py), up to bound with the start page."""
    base = ("https://" if https else "http://") + host
    started = time.monotonic()
    later = ["challenge", "document-mode", "scripts", "stylesheets"] + \
        (["mixed-content", "tls"] if https else []) + ["statistics-page", "content-type"]
    try:
        page = start_page(base, timeout)
    except NETWORK_ERRORS as error:
        reason = why(error, host, timeout) + listed(getattr(error, "redirects", []))
        return Rows([("reachable", "FAIL", reason)] +
                    [(name, "WARN", "not checked: the start page gave no answer")
                     for name in later])
    seconds = time.monotonic() - started
    checks = {"reachable": check_reachable(page, seconds), "challenge": check_challenge(page)}
    # What waits on the network or on a node of its own goes on beside the
    # scripts check, whose page runs take the longest.
    aside_checks = {"statistics-page": aside(check_statistics_page, base, timeout, page)}
    if https:
        aside_checks["tls"] = aside(check_tls, host, timeout)
    pages, frames, framed = None, None, []
    if page.status == 200:
        reached = {}
        # The page runs' node processes are kept from one page to the next.
        with lanes.kept():
            checks.update(judged(page, https, timeout, reached))
            # A frame is part of the page the player sees: checked with --pages 1 too.
            frames, framed = check_frames(page, reached["frames"], page, https, timeout,
                                          checks["document-mode"][0] == "FAIL")
            if bound > 1:
                pages = visit(page, reached, https, timeout, bound, progress)
    checks.update((name, result()) for name, result in aside_checks.items())
    rows = Rows(rows_of(checks, ["reachable"] + later,
                        ("WARN", "not checked: the start page did not load")))
    rows.start = page.url
    rows += [frames] if frames else []
    rows.pages = framed
    line = pages and pages_line(pages, bound)
    if line:
        rows.append(line)
        rows.pages = framed + pages.entries()
    return rows


# What a terminal would act on rather than show, all of which a page can put
# in an exception message or an address: C0 and C1 controls (ESC and C1's
# CSI begin the sequences that retitle a terminal, write its clipboard or
# move its cursor; newline and tab too, as each verdict is one line), DEL,
# the bidirectional controls, which reorder the text after them, and the
# separators that splitlines() takes as line ends.
UNSHOWABLE = re.compile(r"[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028-\u202e\u2066-\u2069]")


def shown(line, encoding):
    """The line as a terminal of that encoding may be given it: each
    character that the terminal would act on, or that the encoding cannot
    carry, as a visible escape (\\x1b, \\u202e). No encoding carries a lone
    surrogate, which json.loads lets through from the run's events."""
    def escape(found):
        code = ord(found.group())
        return ("\\x%02x" if code < 0x100 else "\\u%04x") % code
    return UNSHOWABLE.sub(escape, line).encode(encoding, "backslashreplace").decode(encoding)


def arguments():
    """The command line's options, HOST checked as LAUNCHER_PORTAL_HOST holds it."""
    options = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    options.add_argument("--https", action="store_true", help="the portal is built with "
                         "LAUNCHER_PORTAL_SCHEME=https")
    options.add_argument("--timeout", type=float, default=15.0,
                         help="seconds each address may take (default 15)")
    options.add_argument("--json", action="store_true",
                         help="print the verdicts as one JSON object instead of lines")
    options.add_argument("--fail-on", choices=("fail", "warn"), default="fail",
                         help="the least status that makes the check exit with 1: fail "
                         "(the default), or warn, for a gate that lets only PASS through")
    options.add_argument("--pages", type=int, default=DEFAULT_PAGES, metavar="N",
                         help="check up to N pages of the portal that a player can reach, the "
                         "start page included (default %d; 1: the start page alone)"
                         % DEFAULT_PAGES)
    options.add_argument("--sarif", metavar="FILE", type=argparse.FileType("w", encoding="utf-8"),
                         help="also write the findings to FILE as "
                         "a SARIF 2.1.0 log, for code-scanning tools")
    options.add_argument("host", metavar="HOST", help="LAUNCHER_PORTAL_HOST: host[:port]")
    args = options.parse_args()
    try:
        address = urlsplit("//" + args.host)
        valid = "/" not in args.host and address.hostname and address.port != 0
    except ValueError:  # a port that is no number
        valid = False
    if not valid:
        options.error("HOST is a host with an optional port, as LAUNCHER_PORTAL_HOST holds")
    if args.pages < 1:
        options.error("--pages is at least 1, the start page")
    return args


def printed(args, checks, further, worst, refused):
    """Writes the check's lines, or its JSON, on stdout."""
    if args.json:
        json.dump({"version": JSON_VERSION, "host": args.host,
                   "scheme": "https" if args.https else "http",
                   "verdict": worst, "fail_on": args.fail_on, "exit_code": int(refused),
                   "box": box.used(),
                   "checks": listed_checks(checks), "pages": pages_of(checks, args.https)},
                  sys.stdout, indent=2)
        print()
        return
    for name, status, detail in checks:
        print(shown("%s %s: %s" % (status, name, detail), sys.stdout.encoding))
    for url, (name, status, detail) in further:
        print(shown("%s %s %s: %s" % (status, named(url), name, detail), sys.stdout.encoding))


def main():
    args = arguments()
    host_folder.remove_stale()
    shows = not args.json and sys.stderr.isatty()
    checks = run(args.host, args.https, args.timeout, args.pages, shows and progress)
    if shows and checks.pages:
        sys.stderr.write("\r\x1b[K")
    further = [(url, row) for url, rows in checks.pages for row in rows]
    statuses = {status for _, status, _ in checks + [row for _, row in further]}
    worst = next(status for status in ("FAIL", "WARN", "PASS") if status in statuses)
    refused = worst != "PASS" if args.fail_on == "warn" else worst == "FAIL"
    if args.sarif:
        sarif.write(args.sarif, args.host, args.https,
                    [row + (None,) for row in checks] + [row + (url,) for url, row in further])
    printed(args, checks, further, worst, refused)
    return 1 if refused else 0


# 2: "pages" beside the portal's and the start page's "checks".
JSON_VERSION = 2


def listed_checks(rows):
    return [{"name": name, "status": status, "detail": detail,
             "lists": getattr(detail, "lists", [])} for name, status, detail in rows]


def pages_of(checks, https):
    """Each page checked, the start page first, with the lines of its own."""
    own = {"reachable", "document-mode", "scripts", "stylesheets", "content-type", "frames"} | \
        ({"mixed-content"} if https else set())
    start = [row for row in checks if row[0] in own]
    return [dict({"url": url, "checks": listed_checks(rows)},
                 **({"frame_of": url.parent} if hasattr(url, "parent") else {}))
            for url, rows in [(checks.start, start)] + list(checks.pages) if url]


def progress(url, done, found):
    """The page being checked, on the terminal's standard error."""
    sys.stderr.write("\r" + shown("checking %s: %d of %d pages done" % (
        path_of(url), done + 1, found), sys.stderr.encoding or "utf-8") + "\x1b[K")
    sys.stderr.flush()


if __name__ == "__main__":
    # Ended by a signal, the check still removes what it made on the host.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    sys.exit(main())
