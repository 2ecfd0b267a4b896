#!/usr/bin/env python3
"""Loads the portal's pages the way the launcher's browser control on Windows
loads them, and says what would leave the player with a blank or broken page.

Usage: check_portal.py [--https] [--timeout SECONDS] [--json] HOST

HOST is what LAUNCHER_PORTAL_HOST holds: a host with an optional port. Prints
one line per check, "PASS|WARN|FAIL NAME: detail" (scripts: one for each
script that fails), or with --json the same as one JSON object, and exits
with 1 when any check fails. JavaScript is parsed with acorn (Debian's
node-acorn) under node, by check_portal_scripts.js beside this file.
"""
import argparse
import http.client
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import time
import zlib
from html.parser import HTMLParser
from urllib.parse import urljoin, urlsplit

START_PATH = "/?mini=2&gameid=220"
STATS_PATH = "/stats/varnholt.html"
MAX_REDIRECTS = 10

# What the control sends. It is Internet Explorer 11's engine (Trident/7.0)
# presenting itself as Internet Explorer 7, as every program that hosts it
# without a browser-emulation registry entry gets; the launcher is a 32-bit
# program, hence WOW64 on 64-bit Windows 10 (the tokens are those of
# Microsoft's "Understanding user-agent strings"). The long Accept line is the
# one the legacy modes send for a top-level navigation (Microsoft's
# IEInternals, "IE and the Accept Header"); scripts are asked for with */*.
USER_AGENT = ("Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 10.0; WOW64; Trident/7.0; "
              ".NET4.0C; .NET4.0E)")
PAGE_ACCEPT = ("image/jpeg, application/x-ms-application, image/gif, application/xaml+xml, "
               "image/pjpeg, application/x-ms-xbap, */*")

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

# The script types the engine runs, by the type attribute or as "text/" and
# the language attribute: the types HTML5 (2014, section 4.11.1.1) makes
# browsers recognise, less those Internet Explorer does not, listed in
# [MS-HTML5] 2.1.94, V0214 (application/x-ecmascript, text/javascript1.0,
# text/javascript1.4, text/javascript1.5, text/x-ecmascript). Anything else,
# templates, JSON data, modules, it leaves alone.
SCRIPT_TYPES = {"", "application/ecmascript", "application/javascript", "application/x-javascript",
                "text/ecmascript", "text/javascript", "text/javascript1.1", "text/javascript1.2",
                "text/javascript1.3", "text/jscript", "text/livescript", "text/x-javascript"}

# What IE11 runs past ECMAScript 5, and what it means for the portal.
LET_CONST = "let/const"
LET_CONST_NOTE = "IE11 runs let and const, but Windows 7 without IE11 does not run them"
# Said only of a script where a let heads a for loop.
LOOP_LET_NOTE = ("IE11 runs let and const, but there a let that heads a for loop is one variable "
                 "for all its iterations, and Windows 7 without IE11 does not run them")
LEGACY_NOTE = ("judged as edge mode would run them; the page renders in IE7 mode, which runs "
               "less (JScript 5.7: no ECMAScript 5, no let or const)")

# What a page loads by itself, as (tag, attribute, what it is).
LOADED_PARTS = [("script", "src", "script"), ("img", "src", "image"),
                ("iframe", "src", "frame"), ("frame", "src", "frame"),
                ("object", "data", "object"), ("embed", "src", "object")]

NETWORK_ERRORS = (OSError, http.client.HTTPException)


class Answer:
    def __init__(self, url, status, reason, headers, body, redirects):
        self.url, self.status, self.reason = url, status, reason
        self.headers, self.body, self.redirects = headers, body, redirects

    def text(self):
        return self.body.decode(self.headers.get_content_charset() or "utf-8", "replace")


def get(url, accept, timeout):
    """One GET as the control makes it; raises OSError (TimeoutError past the
    time limit) or HTTPException when no answer comes."""
    parts = urlsplit(url)
    if parts.scheme == "https":
        connection = http.client.HTTPSConnection(parts.netloc, timeout=timeout,
                                                 context=ssl.create_default_context())
    elif parts.scheme == "http":
        connection = http.client.HTTPConnection(parts.netloc, timeout=timeout)
    else:
        raise http.client.HTTPException("not an http or https address")
    try:
        connection.request("GET", (parts.path or "/") + ("?" + parts.query if parts.query else ""),
                           headers={"User-Agent": USER_AGENT, "Accept": accept,
                                    "Accept-Language": "en-US", "Accept-Encoding": "gzip, deflate"})
        response = connection.getresponse()
        body = response.read()
    finally:
        connection.close()
    encoding = response.headers.get("Content-Encoding", "").strip().lower()
    try:
        if encoding in ("gzip", "deflate"):
            body = zlib.decompress(body, zlib.MAX_WBITS | 32)  # either header, told apart
    except zlib.error as error:
        raise http.client.HTTPException("its %s content does not unpack: %s" % (encoding, error))
    return response.status, response.reason, response.headers, body


def fetch(url, accept, timeout):
    """GETs url and follows its redirects, all within timeout seconds."""
    deadline = time.monotonic() + timeout
    redirects = []
    for _ in range(MAX_REDIRECTS + 1):
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError()
        try:
            status, reason, headers, body = get(url, accept, left)
        except NETWORK_ERRORS as error:
            # A redirect may have led elsewhere.
            error.address, error.redirects = urlsplit(url).netloc, redirects
            raise
        if time.monotonic() > deadline:
            raise TimeoutError()
        if status not in (301, 302, 303, 307, 308) or not headers.get("Location"):
            return Answer(url, status, reason, headers, body, redirects)
        target = urljoin(url, headers["Location"].strip())
        redirects.append((status, url, target))
        url = target
    raise http.client.HTTPException("more than %d redirects, the last to %s" % (MAX_REDIRECTS, url))


def why(error, address, timeout):
    """What a player's network would say about the failed connection."""
    address = getattr(error, "address", address)
    host = urlsplit("//" + address).hostname or address
    if isinstance(error, socket.gaierror):
        return "the name %s is not found (%s)" % (host, error.strerror)
    if isinstance(error, ConnectionRefusedError):
        return "%s refused the connection" % address
    if isinstance(error, TimeoutError):
        return "%s timed out: no answer within %g s" % (address, timeout)
    if isinstance(error, ssl.SSLCertVerificationError):
        return "the certificate of %s does not verify: %s" % (address, error.verify_message)
    if isinstance(error, ssl.SSLError):
        return "TLS with %s failed: %s" % (address, error.reason or error)
    if isinstance(error, OSError):
        return "%s: %s" % (address, error.strerror or error)
    return "%s gave no HTTP answer: %s" % (address, error or type(error).__name__)


class Page(HTMLParser):
    """What the checks need of the start page's HTML."""

    def __init__(self):
        super().__init__()
        self.first_element = None  # the first that is not html, head, title or meta
        self.mode_meta = None  # (content, the element it came after, if any)
        self.conditional_comment = False  # one came before the mode meta tag
        self.charset_meta = False
        self.base = ""
        self.scripts = []  # [type, src, text, line, column]
        self.parts = []  # (what it is, address) of what the page loads

    def handle_starttag(self, tag, attrs):
        attributes = {name: value or "" for name, value in attrs}
        equiv = attributes.get("http-equiv", "").lower()
        if tag == "meta" and equiv == "x-ua-compatible" and self.mode_meta is None:
            self.mode_meta = (attributes.get("content", ""), self.first_element)
        if tag == "meta" and ("charset" in attributes or equiv == "content-type" and
                              "charset=" in attributes.get("content", "").lower()):
            self.charset_meta = True
        if tag == "base" and not self.base:
            self.base = attributes.get("href", "")
        if tag == "script":
            kind = attributes.get("type", "").split(";")[0].strip().lower()
            if "type" not in attributes and attributes.get("language", "").strip():
                kind = "text/" + attributes["language"].strip().lower()
            self.scripts.append([kind, attributes.get("src"), "", None, 0])
        for element, attribute, what in LOADED_PARTS:
            if tag == element and attributes.get(attribute, "").strip():
                self.parts.append((what, attributes[attribute].strip()))
        if tag == "link" and "stylesheet" in attributes.get("rel", "").lower().split() and \
                attributes.get("href", "").strip():
            self.parts.append(("stylesheet", attributes["href"].strip()))
        if tag not in ("html", "head", "title", "meta") and self.first_element is None:
            self.first_element = tag

    def handle_comment(self, data):
        # <!--[if lt IE 9]> ... <![endif]--> and <!--[if !IE]><!-->
        if data.strip().lower().startswith("[if") and self.mode_meta is None:
            self.conditional_comment = True

    def unknown_decl(self, data):
        # <![if !IE]>, the form that browsers other than IE show
        if data.strip().lower().startswith("if") and self.mode_meta is None:
            self.conditional_comment = True

    def handle_data(self, data):
        if self.cdata_elem == "script" and self.scripts:
            script = self.scripts[-1]
            if script[3] is None:
                script[3], script[4] = self.getpos()
            script[2] += data


def parse_page(page):
    parser = Page()
    parser.feed(page.text())
    parser.close()
    return parser


def examine_scripts(sources):
    """For each source, None when it is ECMAScript 5, else what IE11 meets in
    it past ECMAScript 5 (check_portal_scripts.js says how)."""
    node = shutil.which("node") or shutil.which("nodejs")
    if not node:
        raise RuntimeError("node is not installed (apt-get install nodejs node-acorn)")
    # Debian's own node finds its modules without this; other builds do not.
    search = os.pathsep.join(filter(None, ["/usr/share/nodejs", os.environ.get("NODE_PATH")]))
    program = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_portal_scripts.js")
    result = subprocess.run([node, program], input=json.dumps(sources), text=True,
                            capture_output=True, env=dict(os.environ, NODE_PATH=search),
                            timeout=300)
    if result.returncode != 0:
        last = (result.stderr.strip().splitlines() or ["no output"])[-1]
        raise RuntimeError("acorn does not run under %s (%s): apt-get install node-acorn"
                           % (node, last))
    return json.loads(result.stdout)


def listed(redirects):
    return "".join("; %d %s -> %s" % hop for hop in redirects)


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


def fetch_scripts(page, parsed, timeout):
    """([(address, source, line, column)], [problem]): the scripts the engine
    runs, inline ones with where they start in the page, and those that cannot
    be fetched."""
    sources, problems = [], []
    base = urljoin(page.url, parsed.base)
    for kind, src, text, line, column in parsed.scripts:
        if kind not in SCRIPT_TYPES:
            continue
        if src is None:
            sources.append(("%s (inline script)" % page.url, text, line or 1, column))
            continue
        url = urljoin(base, src.strip())
        try:
            script = fetch(url, "*/*", timeout)
        except NETWORK_ERRORS as error:
            problems.append("%s cannot be fetched: %s" % (url, why(error, urlsplit(url).netloc,
                                                                    timeout)))
            continue
        if script.status != 200:
            problems.append("%s cannot be fetched: %d %s" % (url, script.status, script.reason))
        else:
            sources.append((url, script.text(), 1, 0))
    return sources, problems


def in_page(where, line, column):
    """The line and column (from 1) of a place in a script that starts at
    line, column (from 0) of its file: inline scripts count from the page."""
    return line + where["line"] - 1, where["column"] + (column if where["line"] == 1 else 0) + 1


def unparsed(text, error, line, column):
    """Where ECMAScript 5 stops parsing, with the text there."""
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    at, near = error["column"], lines[error["line"] - 1]
    # Minified scripts put everything on one line.
    construct = (near if len(near) <= 80 else near[max(at - 30, 0):at + 30]).strip()
    return "line %d, column %d, not ECMAScript 5: %s near '%s'" % (
        in_page(error, line, column) + (error["message"], construct))


def script_verdict(address, text, line, column, found):
    """The line for one script that is not plain ECMAScript 5."""
    named = ["%s (%d, %sat %d:%d)" % ((c["name"], c["count"], "first " if c["count"] > 1 else "")
                                      + in_page(c, line, column)) for c in found["constructs"]]
    if found["error"]:
        named.append(unparsed(text, found["error"], line, column))
    if not found["constructs"]:
        return "FAIL", "%s %s" % (address, named[0])
    if found["error"] is None and all(c["name"] == LET_CONST for c in found["constructs"]):
        return "WARN", "%s: %s: %s" % (address, ", ".join(named),
                                       LOOP_LET_NOTE if found["loopLet"] else LET_CONST_NOTE)
    return "FAIL", "%s: %s" % (address, ", ".join(named))


def check_scripts(page, parsed, timeout, legacy):
    """One line per script that IE11 cannot run as it stands (WARN for let and
    const alone), or one PASS line."""
    sources, problems = fetch_scripts(page, parsed, timeout)
    lines = [("FAIL", problem) for problem in problems]
    try:
        found = examine_scripts([text for _, text, _, _ in sources]) if sources else []
    except (OSError, RuntimeError, subprocess.SubprocessError) as error:
        return [("FAIL", str(error))]
    lines += [script_verdict(*source, result) for source, result in zip(sources, found) if result]
    if not lines:
        lines = [("PASS", "1 script parses as ECMAScript 5" if len(sources) == 1 else
                  "%d scripts parse as ECMAScript 5" % len(sources))]
    # What the engine runs in the mode the page really gets is less again.
    return [(status, detail + ("; " + LEGACY_NOTE if legacy else "")) for status, detail in lines]


def check_mixed_content(page, parsed):
    """With https, what the page loads over plain http: the control blocks it,
    or stops the player with a security prompt."""
    if urlsplit(page.url).scheme != "https":
        return "WARN", "not checked: the page itself came over http (see reachable)"
    base = urljoin(page.url, parsed.base)
    plain = ["%s %s" % (what, urljoin(base, address)) for what, address in parsed.parts
             if urlsplit(urljoin(base, address)).scheme == "http"]
    if plain:
        return "FAIL", ("the page loads over http, which the control blocks or asks the player "
                        "about: %s" % ", ".join(plain))
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


def check_statistics_page(base, timeout):
    try:
        page = fetch(base + STATS_PATH, PAGE_ACCEPT, timeout)
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


def run(host, https, timeout):
    """The checks in order, as (name, status, detail); a check may give
    several lines (scripts gives one for each script that fails)."""
    base = ("https://" if https else "http://") + host
    started = time.monotonic()
    later = ["challenge", "document-mode", "scripts"] + \
        (["mixed-content", "tls"] if https else []) + ["statistics-page", "content-type"]
    try:
        page = fetch(base + START_PATH, PAGE_ACCEPT, timeout)
    except NETWORK_ERRORS as error:
        reason = why(error, host, timeout) + listed(getattr(error, "redirects", []))
        return [("reachable", "FAIL", reason)] + \
            [(name, "WARN", "not checked: the start page gave no answer") for name in later]
    seconds = time.monotonic() - started
    checks = {"reachable": check_reachable(page, seconds), "challenge": check_challenge(page)}
    if page.status == 200:
        parsed = parse_page(page)
        checks["document-mode"] = check_document_mode(page, parsed)
        checks["scripts"] = check_scripts(page, parsed, timeout,
                                          legacy=checks["document-mode"][0] == "FAIL")
        if https:
            checks["mixed-content"] = check_mixed_content(page, parsed)
        checks["content-type"] = check_content_type(page, parsed)
    if https:
        checks["tls"] = check_tls(host, timeout)
    checks["statistics-page"] = check_statistics_page(base, timeout)
    unloaded = ("WARN", "not checked: the start page did not load")
    rows = []
    for name in ["reachable"] + later:
        verdict = checks.get(name, unloaded)
        rows += [(name, status, detail) for status, detail in
                 (verdict if isinstance(verdict, list) else [verdict])]
    return rows


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
    checks = run(args.host, args.https, args.timeout)
    failed = any(status == "FAIL" for _, status, _ in checks)
    if args.json:
        worst = "FAIL" if failed else "WARN" if any(c[1] == "WARN" for c in checks) else "PASS"
        json.dump({"host": args.host, "scheme": "https" if args.https else "http",
                   "verdict": worst,
                   "checks": [{"name": name, "status": status, "detail": detail}
                              for name, status, detail in checks]}, sys.stdout, indent=2)
        print()
    else:
        for name, status, detail in checks:
            print("%s %s: %s" % (status, name, detail))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
