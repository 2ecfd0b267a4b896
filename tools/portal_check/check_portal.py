#!/usr/bin/env python3
"""Loads the portal's pages the way the launcher's browser control on Windows
loads them, and says what would leave the player with a blank or broken page.

Usage: check_portal.py [--https] [--timeout SECONDS] [--json] HOST

HOST is what LAUNCHER_PORTAL_HOST holds: a host with an optional port. Prints
one line per check, "PASS|WARN|FAIL NAME: detail" (scripts: one for each
script that fails; stylesheets: one for each that loses layout or colour on
IE11), or with --json the same as one JSON object, and exits
with 1 when any check fails. The checks of the page's code run under node,
by the programs beside this file (node.py says how).
"""
import argparse
import json
import re
import signal
import socket
import ssl
import sys
import threading
import time
from urllib.parse import urlsplit

import box
from lines import MOST_LINE, listing, said, shortened
from page import parse_page
from scripts import check_scripts
from stylesheets import check_stylesheets
from web import (NETWORK_ERRORS, USER_AGENT, PAGE_ACCEPT, NoAddress, NotReached, base_of, fetch,
                 listed, resolve, why)

START_PATH = "/?mini=2&gameid=220"
STATS_PATH = "/stats/varnholt.html"

# The suites that Schannel, Windows' TLS stack, offers by default and that
# TLS 1.2 can carry, in Windows' order, by their OpenSSL names. Taken from
# Microsoft's "Cipher Suites in TLS/SSL (Schannel SSP)": the pages "TLS Cipher
# Suites in Windows 10 v22H2" and "TLS Cipher Suites in Windows 7" (the latter
# as ordered by update 3042058). Left out: the NULL suites, which Windows uses
# only when a program asks for them, and Windows 7's RC4 suites, which Internet
# Explorer stopped offering in 2016. OpenSSL builds without 3DES skip those two.
# Windows 7 does its ECDHE over P-256 and P-384 only; Python cannot narrow a
# client's curves, so a portal with X25519 alone would still pass here.
WINDOWS_10_SUITES = [
    "ECDHE-ECDSA-AES256-GCM-SHA384", "ECDHE-ECDSA-AES128-GCM-SHA256",
    "ECDHE-RSA-AES256-GCM-SHA384", "ECDHE-RSA-AES128-GCM-SHA256",
    "ECDHE-ECDSA-AES256-SHA384", "ECDHE-ECDSA-AES128-SHA256",
    "ECDHE-RSA-AES256-SHA384", "ECDHE-RSA-AES128-SHA256",
    "ECDHE-ECDSA-AES256-SHA", "ECDHE-ECDSA-AES128-SHA",
    "ECDHE-RSA-AES256-SHA", "ECDHE-RSA-AES128-SHA",
    "AES256-GCM-SHA384", "AES128-GCM-SHA256", "AES256-SHA256", "AES128-SHA256",
    "AES256-SHA", "AES128-SHA",
]
WINDOWS_7_SUITES = [
    "ECDHE-RSA-AES256-SHA384", "ECDHE-RSA-AES128-SHA256",
    "ECDHE-RSA-AES256-SHA", "ECDHE-RSA-AES128-SHA",
    "DHE-RSA-AES256-GCM-SHA384", "DHE-RSA-AES128-GCM-SHA256",
    "DHE-RSA-AES256-SHA", "DHE-RSA-AES128-SHA",
    "AES256-GCM-SHA384", "AES128-GCM-SHA256", "AES256-SHA256", "AES128-SHA256",
    "AES256-SHA", "AES128-SHA",
    "ECDHE-ECDSA-AES256-GCM-SHA384", "ECDHE-ECDSA-AES128-GCM-SHA256",
    "ECDHE-ECDSA-AES256-SHA384", "ECDHE-ECDSA-AES128-SHA256",
    "ECDHE-ECDSA-AES256-SHA", "ECDHE-ECDSA-AES128-SHA",
    "DHE-DSS-AES256-SHA256", "DHE-DSS-AES128-SHA256", "DHE-DSS-AES256-SHA", "DHE-DSS-AES128-SHA",
    "DES-CBC3-SHA", "EDH-DSS-DES-CBC3-SHA",
]











def check_reachable(page, seconds):
    hops = listed(page.redirects)
    origin = urlsplit(page.redirects[0][1] if page.redirects else page.url)
    for _, source, target in page.redirects:
        if urlsplit(target).hostname != origin.hostname:
            return "FAIL", "redirected to another host%s" % hops
        if urlsplit(source).scheme == "https" and urlsplit(target).scheme == "http":
            return "FAIL", "redirected from https to http%s" % hops
    answered = "%s answered %d %s in %.1f s%s" % (origin.geturl(), page.status, page.reason,
                                                   seconds, hops)
    if page.status in (403, 429, 503):
        return "PASS", answered + " (see challenge)"
    if page.status != 200:
        return "FAIL", answered
    if any(urlsplit(target).scheme == "https" for _, _, target in page.redirects):
        return "WARN", answered + ": the portal moves the launcher to https; build with " \
            "LAUNCHER_PORTAL_SCHEME=https"
    return "PASS", answered


def check_challenge(page):
    if page.status in (403, 429, 503):
        return "FAIL", ("the portal refuses the launcher's request with %d %s: bot protection or "
                        "a geo block; let the user agent '%s' through" % (page.status, page.reason,
                                                                          USER_AGENT))
    return "PASS", "no refusal (%d)" % page.status


def asked_mode(value):
    """'edge' or '11' when an X-UA-Compatible value gives IE11's own mode."""
    for part in value.replace(";", ",").split(","):
        if part.strip().lower() in ("ie=edge", "ie=11"):
            return part.strip().lower()[3:]
    return None


def check_document_mode(page, parsed):
    header = page.headers.get("X-UA-Compatible")
    # A meta tag where Internet Explorer reads it wins over the header.
    if parsed.mode_meta and parsed.mode_meta[1] is None:
        where, value = "the X-UA-Compatible meta tag", parsed.mode_meta[0]
    elif header is not None:
        where, value = "the X-UA-Compatible header", header
    elif parsed.mode_meta:
        return "FAIL", ("the page renders in IE7 mode: its X-UA-Compatible meta tag comes after "
                        "<%s>, and only title and meta may precede it" % parsed.mode_meta[1])
    else:
        return "FAIL", ("the page renders in IE7 mode: neither an X-UA-Compatible: IE=edge header "
                        "nor that meta tag at the top of its head")
    mode = asked_mode(value)
    if mode is None:
        return "FAIL", ("the page renders in an old mode (IE7 or the one named): %s says '%s', not "
                        "IE=edge or IE=11" % (where, value))
    said = "%s asks for IE=%s" % (where, "11, which on IE11 is what IE=edge gives" if mode == "11"
                                  else "edge")
    if where.endswith("meta tag") and parsed.conditional_comment:
        if header is not None and asked_mode(header):
            return "PASS", ("%s; conditional comments before it may make IE ignore it, and the "
                            "header, IE=%s, holds then" % (said, asked_mode(header)))
        return "WARN", ("%s, but conditional comments come before it, and IE may then ignore it "
                        "and render in IE7 mode; send the X-UA-Compatible: IE=edge header too, "
                        "or move the comments below the tag" % said)
    return "PASS", said




def as_written(base, address):
    """address against base, or as the page wrote it where it is no address."""
    try:
        return resolve(base, address)
    except NoAddress:
        return address.strip()


def check_mixed_content(page, parsed):
    """With https, what the page loads over plain http: the control blocks it,
    or stops the player with a security prompt."""
    if urlsplit(page.url).scheme != "https":
        return "WARN", "not checked: the page itself came over http (see reachable)"
    base = base_of(page.url, parsed.base)
    plain = [said("%s %s", what, url) for what, url in
             ((what, as_written(base, address)) for what, address in parsed.parts)
             if url.lower().startswith("http:")]
    if plain:
        return "FAIL", said("the page loads over http, which the control blocks or asks the "
                            "player about: %s", listing(plain, "loaded over http"))
    return "PASS", ("none of the %d scripts, stylesheets, frames, images and objects of the "
                    "page loads over http" % len(parsed.parts))


def handshake(host, suites, timeout):
    address = urlsplit("//" + host)
    context = ssl.create_default_context()
    context.minimum_version = context.maximum_version = ssl.TLSVersion.TLSv1_2
    context.set_ciphers(":".join(suites))
    try:
        with socket.create_connection((address.hostname, address.port or 443), timeout) as raw:
            with context.wrap_socket(raw, server_hostname=address.hostname) as tls:
                return True, "%s with %s" % (tls.version(), tls.cipher()[0])
    except NETWORK_ERRORS as error:
        return False, why(error, host, timeout)


def check_tls(host, timeout):
    ok10, said10 = handshake(host, WINDOWS_10_SUITES, timeout)
    ok7, said7 = handshake(host, WINDOWS_7_SUITES, timeout)
    if not ok10:
        return "FAIL", ("TLS 1.2 with Windows 10's suites failed, the control shows no page: %s"
                        % said10)
    if not ok7:
        return "WARN", ("Windows 10: %s; TLS 1.2 with Windows 7's suites failed, players there see "
                        "a blank page: %s" % (said10, said7))
    return "PASS", "Windows 10: %s; Windows 7: %s" % (said10, said7)


def check_statistics_page(base, timeout, portal):
    """portal: the start page's answer, whose space bounds where the
    statistics page and its redirects may lead."""
    try:
        page = fetch(base + STATS_PATH, PAGE_ACCEPT, timeout, portal)
    except NotReached as error:
        return "WARN", "%s is not fetched: %s" % (base + STATS_PATH, error)
    except NETWORK_ERRORS as error:
        return "WARN", why(error, urlsplit(base).netloc, timeout)
    if page.status != 200:
        return "WARN", ("%s answered %d %s (the player's browser opens it after CLOSE)"
                        % (base + STATS_PATH, page.status, page.reason))
    return "PASS", "%s answered 200" % (base + STATS_PATH)


def check_content_type(page, parsed):
    declared = page.headers.get("Content-Type")
    if not declared or page.headers.get_content_type() != "text/html":
        return "WARN", "served as %s, not text/html" % (declared or "no type")
    if page.headers.get_content_charset():
        return "PASS", declared
    if parsed.charset_meta:
        return "PASS", "%s, the charset in a meta tag" % declared
    return "WARN", "%s without a charset, in the header or a meta tag" % declared


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
        page = fetch(base + START_PATH, PAGE_ACCEPT, timeout)
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
        aside_checks["stylesheets"] = aside(check_stylesheets, page, parsed, timeout)
        checks["document-mode"] = check_document_mode(page, parsed)
        checks["scripts"] = check_scripts(page, parsed, timeout,
                                          legacy=checks["document-mode"][0] == "FAIL")
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
    options.add_argument("host", metavar="HOST", help="LAUNCHER_PORTAL_HOST: host[:port]")
    args = options.parse_args()
    try:
        address = urlsplit("//" + args.host)
        valid = "/" not in args.host and address.hostname and address.port != 0
    except ValueError:  # a port that is no number
        valid = False
    if not valid:
        options.error("HOST is a host with an optional port, as LAUNCHER_PORTAL_HOST holds")
    box.remove_stale()
    checks = run(args.host, args.https, args.timeout)
    failed = any(status == "FAIL" for _, status, _ in checks)
    if args.json:
        worst = "FAIL" if failed else "WARN" if any(c[1] == "WARN" for c in checks) else "PASS"
        json.dump({"host": args.host, "scheme": "https" if args.https else "http",
                   "verdict": worst, "box": box.used(),
                   "checks": [{"name": name, "status": status, "detail": detail,
                               "lists": getattr(detail, "lists", [])}
                              for name, status, detail in checks]}, sys.stdout, indent=2)
        print()
    else:
        for name, status, detail in checks:
            print(shown("%s %s: %s" % (status, name, detail), sys.stdout.encoding))
    return 1 if failed else 0


if __name__ == "__main__":
    # Ended by a signal, the check still removes what it made on the host.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    sys.exit(main())
