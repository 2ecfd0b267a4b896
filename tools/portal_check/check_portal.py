#!/usr/bin/env python3
"""Loads the portal's pages the way the launcher's browser control on Windows
loads them, and says what would leave the player with a blank or broken page.

Usage: check_portal.py [--https] [--timeout SECONDS] [--json] [--fail-on fail|warn] HOST

HOST is what LAUNCHER_PORTAL_HOST holds: a host with an optional port. Prints
one line per check, "PASS|WARN|FAIL NAME: detail" (scripts: one for each
script that fails; stylesheets: one for each that loses layout or colour on
IE11), or with --json the same as one JSON object, and exits with 1 when
any check fails (with --fail-on warn, when any line is not PASS: a gate that
refuses a page whose code was not run). The checks of the page's code run
under node, by the programs beside this file (node.py says how).

This file runs the checks in order and prints their lines; the checks
themselves live in the modules beside it.
"""
import argparse
import json
import re
import signal
import sys
import threading
import time
from urllib.parse import urlsplit

import node
from fetching import start_page
from lines import MOST_LINE, shortened
from matching import Matching
from page import parse_page
from page_checks import (check_challenge, check_content_type, check_document_mode,
                         check_mixed_content, check_reachable, check_statistics_page)
from scripts import check_scripts
from stylesheets import check_stylesheets
from tls import check_tls
from web import NETWORK_ERRORS, listed, why


def aside(check, *args):
    """Starts check(*args) on a thread of its own; what it gives, when called
    for (its exception raised then, as if it had run here). A daemon thread:
    a check ended by a signal does not wait for it."""
    outcome = {}

    def work():
        try:
            outcome["result"] = check(*args)
        except BaseException as error:  # handed to the caller, who raises it
            outcome["error"] = error
    thread = threading.Thread(target=work, daemon=True)
    thread.start()

    def result():
        thread.join()
        if "error" in outcome:
            raise outcome["error"]
        return outcome["result"]
    return result


def run(host, https, timeout):
    """The checks in order, as (name, status, detail), each detail at most
    MOST_LINE characters; a check may give several lines (scripts gives one
    for each script that fails, stylesheets one for each stylesheet that
    loses layout or colour on IE11)."""
    base = ("https://" if https else "http://") + host
    started = time.monotonic()
    later = ["challenge", "document-mode", "scripts", "stylesheets"] + \
        (["mixed-content", "tls"] if https else []) + ["statistics-page", "content-type"]
    try:
        page = start_page(base, timeout)
    except NETWORK_ERRORS as error:
        reason = why(error, host, timeout) + listed(getattr(error, "redirects", []))
        return [("reachable", "FAIL", reason)] + \
            [(name, "WARN", "not checked: the start page gave no answer") for name in later]
    seconds = time.monotonic() - started
    checks = {"reachable": check_reachable(page, seconds), "challenge": check_challenge(page)}
    # What waits on the network or on a node of its own goes on beside the
    # scripts check, whose page runs take the longest.
    aside_checks = {"statistics-page": aside(check_statistics_page, base, timeout, page)}
    if https:
        aside_checks["tls"] = aside(check_tls, host, timeout)
    if page.status == 200:
        parsed = parse_page(page)
        # The stylesheets check asks the scripts check's page run which rules
        # match an element of the page.
        matching = Matching()
        aside_checks["stylesheets"] = aside(check_stylesheets, page, parsed, timeout, matching)
        checks["document-mode"] = check_document_mode(page, parsed)
        try:
            checks["scripts"] = check_scripts(page, parsed, timeout,
                                              checks["document-mode"][0] == "FAIL", matching)
        finally:
            matching.close()
        if https:
            checks["mixed-content"] = check_mixed_content(page, parsed)
        checks["content-type"] = check_content_type(page, parsed)
    checks.update((name, result()) for name, result in aside_checks.items())
    unloaded = ("WARN", "not checked: the start page did not load")
    rows = []
    for name in ["reachable"] + later:
        verdict = checks.get(name, unloaded)
        rows += [(name, status, shortened(detail, MOST_LINE)) for status, detail in
                 (verdict if isinstance(verdict, list) else [verdict])]
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


def main():
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
    options.add_argument("host", metavar="HOST", help="LAUNCHER_PORTAL_HOST: host[:port]")
    args = options.parse_args()
    try:
        address = urlsplit("//" + args.host)
        valid = "/" not in args.host and address.hostname and address.port != 0
    except ValueError:  # a port that is no number
        valid = False
    if not valid:
        options.error("HOST is a host with an optional port, as LAUNCHER_PORTAL_HOST holds")
    node.remove_stale()
    checks = run(args.host, args.https, args.timeout)
    statuses = {status for _, status, _ in checks}
    worst = next(status for status in ("FAIL", "WARN", "PASS") if status in statuses)
    refused = worst != "PASS" if args.fail_on == "warn" else worst == "FAIL"
    if args.json:
        json.dump({"host": args.host, "scheme": "https" if args.https else "http",
                   "verdict": worst, "fail_on": args.fail_on, "exit_code": int(refused),
                   "checks": [{"name": name, "status": status, "detail": detail,
                               "lists": getattr(detail, "lists", [])}
                              for name, status, detail in checks]}, sys.stdout, indent=2)
        print()
    else:
        for name, status, detail in checks:
            print(shown("%s %s: %s" % (status, name, detail), sys.stdout.encoding))
    return 1 if refused else 0


if __name__ == "__main__":
    # Ended by a signal, the check still removes what it made on the host.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    sys.exit(main())
