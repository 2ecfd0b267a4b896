#!/usr/bin/env python3
"""scripts/check-portal.sh against loopback portals started here: one over
http, and over https with a throwaway certificate, one per set of TLS versions
and suites. A good portal passes every check, each bad one fails (or warns of)
its own check alone, and one that never answers fails within the time limit.

Usage: check_portal_test.py SOURCE_DIR
"""
import http.server
import json
import os
import re
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SCRIPT = KEYS = KEYS_FOLDER = None
PORTS = {}
HEAD = ('<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>Varnholt</title>\n'
        '<meta http-equiv="X-UA-Compatible" content="IE=edge">\n')
BODY = ('<script src="/app.js"></script>\n<script type="text/template">`${name}`</script>\n'
        '</head><body>\n<p>News</p><script>var since = 3;</script></body></html>\n')
HTML = {"Content-Type": "text/html; charset=utf-8"}
GOOD = {"/": (200, HTML, HEAD + BODY), "/page": (200, HTML, HEAD + BODY),
        "/app.js": (200, {"Content-Type": "text/javascript"}, "function a(x) { return [x]; }\n"),
        "/stats/varnholt.html": (200, HTML, "<p>Statistics</p>")}
ROUTES = dict(GOOD)
# ES5 that IE11 runs, through what V8's built-ins read of the page's objects.
ES5 = ("var d = new Date(2020, 1, 2), o = {}, n = 0;\n"
       "'a b  c'.split(/\\s+/).concat('a,b'.split(/(,)/), 'x1y2'.match(/\\d/g));\n"
       "'a-b'.replace(/-/g, function (m) { return m + m; }).search(/b/);\n"
       "String(/a/gi) + /a/.exec('a') + /a/g.test('a') + 'ab'.replace(/(a)(b)/, '$2$1');\n"
       "JSON.parse(JSON.stringify({a: [1, 'x', null, d]}), function (k, v) { return v; });\n"
       "d.toISOString() + d.toJSON() + Date.parse('2020-01-01T00:00:00Z') + Date.now();\n"
       "[3, 1, 2].sort(function (a, b) { return a - b; }).map(String).filter(Boolean)"
       ".reduce(function (a, b) { return a + b; });\n"
       "[1].some(Boolean) && [1].every(Boolean) && [1].indexOf(1) + Array.isArray([]);\n"
       "' Ab '.trim().toLowerCase().substr(1) + 'abc'.slice(-2) + (255).toString(16);\n"
       "Object.defineProperty(o, 'x', {get: function () { return n; }, set: function (v) "
       "{ n = v; }});\no.x = 2; Object.keys(Object.create({})); Object.freeze({});\n"
       "(function () {}).bind(null)(); Object.prototype.toString.call([]) + String({});")
# Not reached or not throwing in IE11.
GUARDED = ("function _toArray(iter) {\n  if (typeof Symbol !== 'undefined' && iter[Symbol.iterator]"
           " != null) return Array.from(iter);\n}\n"
           "function top() { return Math.max(window.scrollY, document.body.scrollTop); }\n"
           "function quad() { try { return new DOMQuad(); } catch (e) { return null; } }\n")
BUTTONS = ('<form id="form"><button id="go" type="button">Go</button>'
           '<button id="copy" type="button" onclick="copied()">Copy</button></form>'
           '<div class="news"><a class="news-tab" href="#a">A</a></div><p>')
# A listener on the document that delegates to the page's own elements.
DELEGATED = ("document.addEventListener('click', function (e) {\n  var el = e.target;\n"
             "  if ((el.matches || el.msMatchesSelector).call(el, 'a.news-tab'))\n"
             "    el.closest('.news').className = 'news open';\n});\n")
CLOSEST = ("Element.prototype.closest = Element.prototype.closest || function (s) {\n"
           "  for (var el = this; el; el = el.parentElement)\n"
           "    if ((el.matches || el.msMatchesSelector).call(el, s)) return el;\n"
           "  return null;\n};\n")
ASKED = []  # every path the portals were asked for


def moved(url):
    return (302, {"Location": url}, "")


class Portal(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        # Only the launcher's control gets pages, so every pass also proves the user agent.
        ASKED.append(self.path)
        refused = "MSIE 7.0; Windows NT 10.0" not in self.headers.get("User-Agent", "")
        status, headers, body = (403, {}, "") if refused else \
            ROUTES.get(self.path.split("?")[0], (404, {}, ""))
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value.format(**PORTS))
        self.send_header("Content-Length", str(len(body.encode())))
        self.end_headers()
        self.wfile.write(body.encode())

    def log_message(self, *args):
        pass


def serve(name, https=False, minimum=ssl.TLSVersion.TLSv1_2, maximum=ssl.TLSVersion.TLSv1_3,
          suites="DEFAULT"):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Portal)
    if https:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(KEYS, "cert.pem"), os.path.join(KEYS, "key.pem"))
        context.minimum_version, context.maximum_version = minimum, maximum
        context.set_ciphers(suites)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    PORTS[name] = server.server_address[1]
    threading.Thread(target=server.serve_forever, daemon=True).start()


# The note that names the box a failing page's code ran in is sandbox_test's
# to judge; the other tests judge the verdicts.
BOX_NOTE = re.compile(r"^PASS .*scripts: the page's code ran in the \w+ box$")


def verdicts(out):
    """The check's lines as (status, rest), but the note naming the box."""
    return [tuple(line.split(" ", 1)) for line in out.splitlines() if not BOX_NOTE.match(line)]


def check(host, *options, encoding="utf-8"):
    """The exit code and the lines by check: {name: [(status, line)]}, or with
    --json the object printed; encoding is the terminal's. The start page
    alone unless options say --pages (pages_test.py follows the links)."""
    alone = [] if "--pages" in options else ["--pages", "1"]
    result = subprocess.run([SCRIPT, *alone, *options, host], capture_output=True, text=True, timeout=120,
                            env=dict(os.environ, SSL_CERT_FILE=os.path.join(KEYS, "cert.pem"),
                                     PYTHONIOENCODING=encoding))
    print(result.stdout + result.stderr)
    if "--json" in options:
        return result.returncode, json.loads(result.stdout)
    lines = {}
    for status, rest in verdicts(result.stdout):
        lines.setdefault(rest.split(":")[0], []).append((status, rest))
    return result.returncode, lines


def examine(sources):
    """What syntax.js says of each source, straight from node."""
    program = os.path.join(os.path.dirname(SCRIPT), "..", "tools", "portal_check", "syntax.js")
    result = subprocess.run(["node", program], input=json.dumps(sources), capture_output=True,
                            text=True, check=True,
                            env=dict(os.environ, NODE_PATH="/usr/share/nodejs"))
    return [found["syntax"] for found in json.loads(result.stdout)]


def setUpModule():
    global KEYS, KEYS_FOLDER
    KEYS_FOLDER = tempfile.TemporaryDirectory(prefix="portal-keys-")
    KEYS = KEYS_FOLDER.name
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-keyout", "key.pem", "-out", "cert.pem", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"], cwd=KEYS, check=True,
                   capture_output=True)
    serve("http")
    serve("https", True)
    serve("tls13", True, minimum=ssl.TLSVersion.TLSv1_3)
    serve("nowin7", True, maximum=ssl.TLSVersion.TLSv1_2, suites="ECDHE-RSA-AES128-GCM-SHA256")


class CheckPortal(unittest.TestCase):
    def test_a_good_portal_passes_and_each_bad_one_fails_its_own_check(self):
        page = (HEAD + BODY).replace
        old_ie = '<!--[if lt IE 9]><html class="old-ie"><![endif]-->\n'
        not_ie = "<![if !IE]><![endif]>\n"
        edge = dict(HTML, **{"X-UA-Compatible": "IE=edge"})
        plain = "http://127.0.0.1:%d" % PORTS["http"]
        # server, changed routes, the lines that must say so, in order (none: all pass), and
        # the check's options if any
        cases = [
            ("http", {}, []),
            ("https", {}, []),
            ("http", {"/": (404, {}, "")}, [("FAIL", "reachable", "answered 404 Not Found")]),
            ("http", {"/": moved("http://localhost:{http}/page")},
             [("FAIL", "reachable", "another host; 302 http://127.0.0.1:\\d+/\\?mini=2&gameid=220 "
                                    "-> http://localhost:\\d+/page")]),
            ("https", {"/": moved("http://127.0.0.1:{http}/page")},
             [("FAIL", "reachable", "from https to http")]),
            ("http", {"/": moved("https://127.0.0.1:{https}/page")},
             [("WARN", "reachable", "build with LAUNCHER_PORTAL_SCHEME=https")]),
            *[("http", {"/": (status, {}, "")},
               [("FAIL", "challenge", "%d .*bot protection or a geo block" % status)])
              for status in (403, 429, 503)],
            ("http", {"/": (200, HTML, page("IE=edge", "IE=EmulateIE7"))},
             [("FAIL", "document-mode", "says 'IE=EmulateIE7', not IE=edge"),
              ("PASS", "scripts", "scripts are judged as edge mode would run them; .* IE7 mode"),
              ("PASS", "scripts", "2 scripts parse as ECMAScript 5")]),
            # A meta tag that asks for another mode wins over the header.
            ("http", {"/": (200, edge, page("IE=edge", "IE=8"))},
             [("FAIL", "document-mode", "meta tag says 'IE=8'")]),
            ("http", {"/": (200, HTML, page("IE=edge", "IE=11"))},
             [("PASS", "document-mode", "IE=11, which on IE11 is what IE=edge gives")]),
            ("http", {"/": (200, HTML, old_ie + HEAD + BODY)},
             [("WARN", "document-mode", "conditional comments come before it, and IE may then "
                                        "ignore it")]),
            ("http", {"/": (200, HTML, page("<meta http-equiv", not_ie + "<meta http-equiv"))},
             [("WARN", "document-mode", "conditional comments come before it")]),
            ("http", {"/": (200, HTML, page("<p>", old_ie + not_ie + "<p>"))}, []),
            ("http", {"/": (200, edge, old_ie + HEAD + BODY)},
             [("PASS", "document-mode", "the header, IE=edge, holds then")]),
            ("http", {"/": (200, HTML, page("<title>", '<link rel="icon"><title>'))},
             [("FAIL", "document-mode", "IE7 mode: .* comes after <link>")]),
            # The loop's note goes only to a script where a let (not a const) heads a for loop.
            ("http", {"/": (200, HTML, page("var since = 3;", "let since = 3;\nfor (const k in o) {}")
                            .replace("<p>", "<script>for (let i = 0; i < 2; i++) {}</script><p>")),
                      "/app.js": (200, {}, "for (let i in o) {}\n")},
             [("WARN", "scripts", r"/app.js: let/const \(1, at 1:6\): IE11 runs let and const, "
                                  "but there a let that heads a for loop is one variable"),
              ("WARN", "scripts", r"\(inline script\): let/const \(1, at 7:14\): .* heads a for "
                                  "loop"),
              ("WARN", "scripts", r"\(inline script\): let/const \(2, first at 7:67\): IE11 runs "
                                  "let and const, but Windows 7 without IE11 does not run them$")]),
            ("http", {"/": (200, HTML, page("<script>var since = 3;</script>", ""))},
             [("PASS", "scripts", "scripts: 1 script parses as ECMAScript 5 and loads with what IE11 lacks taken out, in the bubblewrap box$")]),
            # Every script the engine runs is checked; each one that fails has its line.
            ("http", {"/": (200, HTML, page("<p>", '<script language="JavaScript1.2" src="/old.js">'
                                                   '</script><script type="text/x-javascript">'
                                                   'class A {}</script><p>')),
                      "/app.js": (200, {}, "// Counts.\nlet f = (x) => x + 1, g = (y) => y;\n"),
                      "/old.js": (200, {}, "var s = `${f(1)}`, t = a ** 2;\n")},
             [("FAIL", "scripts", r"/app.js: let/const \(1, at 2:1\), arrow function "
                                  r"\(2, first at 2:9\)$"),
              ("FAIL", "scripts", r"/old.js: template literal \(1, at 1:9\), exponent operator "
                                  r"\(1, at 1:24\)$"),
              ("FAIL", "scripts", r"\(inline script\): class \(1, at 7:90\)$")]),
            ("http", {"/app.js": (200, {}, "let a = [1,\n2];\nf(\"\\u{61}\");\n")},
             [("FAIL", "scripts", "/app.js: let/const \\(1, at 1:1\\), line 3, column 3, not "
                                  "ECMAScript 5: Unexpected token")]),
            ("http", {"/": (200, HTML, page("<p>", '<script language="VBScript">Dim a</script>'
                                                   '<p>'))},
             [("PASS", "scripts", "2 scripts parse")]),
            ("http", {"/app.js": (200, {}, "var a = [1,\n2];\nf(\"\\u{61}\");\n")},
             [("FAIL", "scripts", "/app.js line 3, column 3, not ECMAScript 5: Unexpected token "
                                  "near " + re.escape("'f(\"\\u{61}\");'"))]),
            ("http", {"/app.js": (404, {}, "")},
             [("FAIL", "scripts", "/app.js cannot be fetched: 404")]),
            # An address past ASCII is sent percent-encoded; one that is no address fails its
            # script alone, and a base that is none is ignored, as browsers do.
            ("http", {"/": (200, HTML, page("<p>", '<base href="http://[b/"><script src="/\u00e9.js">'
                                                   '</script><script src="http://[x/"></script><p>')),
                      "/%C3%A9.js": (200, {}, "var e = 1;\n")},
             [("FAIL", "scripts", r"^scripts: http://\[x/ cannot be fetched: http://\[x/ is no "
                                  r"address \(Invalid IPv6 URL\)$")]),
            # What the page runs at load, as IE11 runs it: what IE11 lacks fails unless an
            # earlier script brings it; where the load does not reach, an untested use warns.
            ("http", {"/app.js": (200, {}, "var p = 1;\np = new Promise(function (r) { r(); });\n")},
             [("FAIL", "scripts", r"/app.js: as the page loads, at 2:1, Promise is not defined "
                                  r"\(IE11 lacks Promise\)$")]),
            ("http", {"/": (200, HTML, page('<script src="/app.js">', '<script src="/promise.js">'
                                            '</script><script src="/app.js">')),
                      "/promise.js": (200, {}, "window.Promise = function (run) { run(); };\n"),
                      "/app.js": (200, {}, "new Promise(function () {});\n")},
             [("PASS", "scripts", r"^scripts: 3 scripts .*; the page brings Promise from "
                                  r"http://127.0.0.1:\d+/promise.js$")]),
            ("http", {"/app.js": (200, {}, "[1].includes(1);\n")},
             [("FAIL", "scripts", r"at 1:5, \[1\].includes is not a function \(IE11 lacks "
                                  r"Array.prototype.includes\)$")]),
            ("http", {"/app.js": (200, {}, "document.dispatchEvent(new CustomEvent('news'));\n")},
             [("FAIL", "scripts", r"at 1:24, CustomEvent is not a constructor \(IE11 lacks new "
                                  r"CustomEvent\)$")]),
            # jsdom has no fetch either, but its message names what IE11 lacks.
            ("http", {"/app.js": (200, {}, "fetch('/news.json');\n")},
             [("FAIL", "scripts", r"at 1:1, fetch is not defined \(IE11 lacks fetch\)$")]),
            ("http", {"/app.js": (200, {}, "throw new Error('no news today');\n")}, []),
            ("http", {"/app.js": (200, {}, "function later() {\n"
                                           "  return Object.assign({}, window.fetch('/x'));\n}\n")},
             [("WARN", "scripts", r"/app.js: uses what IE11 lacks, untested, .*: Object.assign "
                                  r"\(1, at 2:10\), fetch \(1, at 2:28\)$")]),
            # Not what IE11 never reaches or throws at: Babel's guarded spread helper, a read
            # of window.X, a use inside try, nor a polyfill's detection of what it brings; but
            # what a polyfill uses unguarded (flatpickr brings Object.assign, and calls
            # Array.from in its range mode) stays.
            ("http", {"/app.js": (200, {}, GUARDED)}, []),
            # Read only, passed on, assigned or compared, it is undefined in IE11: no error.
            ("http", {"/app.js": (200, {}, "function later(o, keep) {\n  var f = window.fetch; "
                                           "o.assign = Object.assign;\n  keep(window.Promise, "
                                           "Object.entries);\n  return o.values === Object.values;"
                                           "\n}\n")}, []),
            # A try holds only what runs in it: not a callback it hands on, nor without a catch.
            ("http", {"/app.js": (200, {}, "function later(list) {\n  try { setTimeout(function () "
                                           "{ Object.assign({}, {}); }, 0); } catch (e) {}\n"
                                           "  try { return Array.from(list); } finally { list = "
                                           "null; }\n}\n")},
             [("WARN", "scripts", r"/app.js: uses what IE11 lacks, untested, .*: Object.assign "
                                  r"\(1, at 2:34\), Array.from \(1, at 3:16\)$")]),
            ("http", {"/": (200, HTML, page('<script src="/app.js">', '<script src="/core.js">'
                                            '</script><script src="/app.js">')),
                      "/core.js": (200, {}, "if (!window.Promise) window.Promise = function () {};"
                                            "\nfunction ownKeys(it) {\n  return typeof Symbol == "
                                            "'function' ? Reflect.ownKeys(it) : Object.keys(it);\n}\n"
                                            "try { new DOMQuad(); } catch (e) {}\n"
                                            "function range(list) { return Array.from(list); }\n")},
             [("WARN", "scripts", r"/core.js: uses what IE11 lacks, .*: Array.from \(1, at 6:31\)$")]),
            # IE11 has matches only as msMatchesSelector.
            ("http", {"/app.js": (200, {}, "document.body.matches('p');\n")},
             [("FAIL", "scripts", r"at 1:15, document.body.matches is not a function \(IE11 lacks "
                                  r"Element.prototype.matches\)$")]),
            # The engine's own built-ins keep working: ES5 that IE11 runs passes.
            ("http", {"/": (200, HTML, page("var since = 3;", ES5))}, []),
            # A thrown string is placed by the throw that gives it as a literal; an exception
            # raised in a built-in is placed by its stack.
            ("http", {"/": (200, HTML, page("var since = 3;", "if (!window.Promise) throw 'Smooth "
                                                             "Scroll: not supported';")),
                      "/app.js": (200, {}, "(window.Symbol ? ['1'] : ['{']).map(JSON.parse);\n")},
             [("FAIL", "scripts", r"/app.js: as the page loads, at 1:33, Expected property name .* "
                                  r"\(raised only without what IE11 lacks\)$"),
              ("FAIL", "scripts", r"\(inline script\): as the page loads, at 7:41, Smooth Scroll: "
                                  r"not supported \(raised only without")]),
            # The player's events, fired at what the page listens on after the load.
            ("http", {"/": (200, HTML, page("<p>", BUTTONS)),
                      "/app.js": (200, {}, "copy.addEventListener('click', function () {\n"
                                           "  var fake = document.createElement('textarea');\n"
                                           "  fake.remove();\n});\n")},
             [("FAIL", "scripts", r"/app.js: on click of button#copy, at 3:8, fake.remove is not a "
                                  r"function \(IE11 lacks .*Element.prototype.remove")]),
            ("http", {"/": (200, HTML, page("<p>", BUTTONS)), "/app.js": (200, {}, DELEGATED)},
             [("FAIL", "scripts", r"/app.js: on click of a.news-tab, at 4:8, el.closest is not a "
                                  r"function \(IE11 lacks Element.prototype.closest\)$")]),
            ("http", {"/": (200, HTML, page("<p>", BUTTONS).replace(
                '<script src="/app.js">', '<script src="/closest.js"></script><script src="/app.js">')),
                      "/closest.js": (200, {}, CLOSEST), "/app.js": (200, {}, DELEGATED)},
             [("PASS", "scripts", r"3 scripts .*; 3 events fired at the page's handlers$")]),
            # jQuery's delegated handlers, by the selectors its registry keeps.
            ("http", {"/": (200, HTML, page("<p>", BUTTONS)),
                      "/app.js": (200, {}, "var jQuery = {_data: function (node, what) {\n  return "
                                           "node === document ? {click: [{selector: 'a'}]} : null;"
                                           "\n}};\ndocument.addEventListener('click', function (e) "
                                           "{\n  if (e.target.hash) e.target.closest('.news');\n});\n")},
             [("FAIL", "scripts", r"/app.js: on click of a.news-tab, at 5:31, e.target.closest is "
                                  r"not a function \(IE11 lacks Element.prototype.closest\)$")]),
            # Events made as IE11 pages make them; an exception of both runs is no verdict.
            ("http", {"/": (200, HTML, page("<p>", BUTTONS)),
                      "/app.js": (200, {}, "function copied() {\n  var e = document.createEvent("
                                           "'Event');\n  e.initEvent('copied', true, true);\n"
                                           "  copy.dispatchEvent(e);\n}\ngo.onmousedown = "
                                           "function () { throw new Error('no news today'); };\n")},
             [("PASS", "scripts", "; 2 events fired at the page's handlers$")]),
            # A handler that navigates, opens, alerts and submits: the run goes on.
            ("http", {"/": (200, HTML, page("<p>", BUTTONS)),
                      "/app.js": (200, {}, "go.onclick = function () {\n  location.href = '/news';"
                                           "\n  window.open('/x'); alert('x'); form.submit();\n"
                                           "  Object.assign({}, {});\n};\n")},
             [("FAIL", "scripts", r"/app.js: on click of button#go, at 4:10, Object.assign is not a "
                                  r"function \(IE11 lacks Object.assign\)$")]),
            # A timer that a handler sets runs as part of its event; what an attribute's
            # handler raises, no script holds, and the page has it.
            ("http", {"/": (200, HTML, page("<p>", '<i id="x" onmouseup="document.body.matches('
                                                   "'p')\"></i><p>")),
                      "/app.js": (200, {}, "x.onclick = function () {\n  setTimeout(function () "
                                           "{ Object.assign({}, {}); }, 500);\n};\n")},
             [("FAIL", "scripts", r"/app.js: on click of i#x, at 2:35, Object.assign is not a "
                                  r"function \(IE11 lacks Object.assign\)$"),
              ("FAIL", "scripts", r"gameid=220: on mouseup of i#x, document.body.matches is not a "
                                  r"function \(IE11 lacks Element.prototype.matches\)$")]),
            ("http", {"/app.js": (200, {}, "for (var i = 0; i < 310; i++)\n  document.body."
                                           "appendChild(document.createElement('i')).onclick = "
                                           "function () {};\n")},
             [("PASS", "scripts", "; 300 events fired at the page's handlers$"),
              ("PASS", "scripts", r"^scripts: 10 events left unfired by the budget \(10 click\), "
                                  r"at 10 elements: the 301st i, the 302nd i, the 303rd i, "
                                  r"(the 30\dth i, ){6}the 310th i$")]),
            # Firing the events takes a fifth of the time limit at most: 1.2 s, four handlers
            # (slow where the run plans them, and quick without what IE11 lacks).
            ("http", {"/app.js": (200, {}, "for (var i = 0; i < 12; i++)\n  document.body."
                                           "appendChild(document.createElement('i')).onclick = "
                                           "function () {\n    for (var t = Date.now(); "
                                           "window.Promise && Date.now() - t < 300;) {}\n  };\n")},
             [("PASS", "scripts", r"; [1-4] events? fired at the page's handlers$"),
              ("PASS", "scripts", r"^scripts: ([89]|1[01]) events left unfired by the budget "
                                  r"\(\d+ click\), at \d+ elements: "
                                  r"(the \d+(st|nd|rd|th) i(, |$))+")],
             "--timeout", "6"),
            ("http", {"/app.js": (200, {}, "document.body.onclick = function () {\n  if (typeof "
                                           "Object.assign == 'function' && window.fetch)\n"
                                           "    Object.assign({}, fetch('/x'));\n};\n")}, []),
            ("http", {"/": (200, HTML, page("<script src", '<script type="module" src')
                             .replace("<script>var", '<script type="module">var'))},
             [("FAIL", "scripts", "every script of the page is type=\"module\", and IE11 runs none")]),
            ("https", {"/": (200, HTML, page('src="/app.js"', 'src="%s/app.js"' % plain)
                             .replace("<p>", '<img src="%s/news.png"><p>' % plain))},
             [("FAIL", "mixed-content", "blocks or asks the player about: script %s/app.js, "
                                        "image %s/news.png$" % (plain, plain))]),
            ("https", {"/": (200, HTML, page('<script src', '<base href="%s/"><link '
                                             'rel="stylesheet" href="%s/site.css"><script src'
                                             % (plain, plain)))},
             [("FAIL", "mixed-content", "about: stylesheet %s/site.css, script %s/app.js$"
               % (plain, plain))]),
            ("tls13", {},
             [("FAIL", "tls", "Windows 10's suites failed, the control shows no page")]),
            ("nowin7", {}, [("WARN", "tls", "Windows 10: TLSv1.2 with ECDHE-RSA-AES128-GCM-SHA256; "
                                            "TLS 1.2 with Windows 7's suites failed")]),
            ("http", {"/stats/varnholt.html": (404, {}, "")},
             [("WARN", "statistics-page", "answered 404")]),
            ("http", {"/": (200, {"Content-Type": "text/html"}, page(' charset="utf-8"', ""))},
             [("WARN", "content-type", "text/html without a charset")]),
        ]
        for server, routes, expected, *options in cases:
            with self.subTest(server=server, routes=routes):
                ROUTES.clear()
                ROUTES.update(GOOD)
                ROUTES.update(routes)
                https = ["--https"] if server != "http" else []
                code, lines = check("127.0.0.1:%d" % PORTS[server], *https, *options)
                self.assertEqual(9 if https else 7, len(lines))
                said = {name: [line for line in lines[name]] for name in lines}
                for status, name, says in expected:
                    line_status, line = said[name].pop(0)
                    self.assertEqual(status, line_status)
                    self.assertRegex(line, says)
                named = {name for _, name, _ in expected}
                self.assertEqual([], [line for name in named for line in said[name]])
                failed = {name for name, named_lines in lines.items()
                          for status, _ in named_lines if status == "FAIL"}
                self.assertEqual({name for status, name, _ in expected if status == "FAIL"}, failed)
                if not expected:
                    self.assertEqual({"PASS"}, {status for status, _ in sum(lines.values(), [])})
                self.assertEqual(1 if failed else 0, code)

    def test_stylesheets_warn_of_what_ie11_drops_of_layout_and_colour(self):
        css = {"Content-Type": "text/css"}
        linked = '<link rel="stylesheet" href="/a.css"></head>'
        cases = [  # what the head gains, the stylesheets served, the stylesheets lines
            (linked, {"/a.css": (200, css, ".a { color: var(--text); }\n"
                                           ".b { color: #333; color: var(--text); }\n"
                                           ".c { background: rgb(59 130 246 / 0.5); }\n")},
             [("WARN", r"/a.css: custom properties, var\(\) \(1, at 1:6\), space-separated rgb\(\) \(1, at 3:6\)$")]),
            (linked, {"/a.css": (200, css, ".a { display: -ms-grid; display: grid; }\n"
                                           ".b { display: grid; }\n")},
             [("WARN", r"/a.css: display: grid \(1, at 2:6\)$")]),
            (linked, {"/a.css": (200, css, ".a { column-count: 2; column-gap: 1em; }\n"
                                           ".b { display: flex; gap: 1em; }\n"
                                           ".c { column-gap: 1em; }\n")},
             [("WARN", r"/a.css: gap \(1, at 2:21\), column-gap \(1, at 3:6\)$")]),
            (linked, {"/a.css": (200, css, ".a:focus-visible { outline: 1px solid; }\n"
                                           ":where(.b) { margin: 0; }\n"
                                           ".c::placeholder { color: #777; }\n"
                                           ".c:-ms-input-placeholder { color: #777; }\n")},
             [("WARN", r"/a.css: :where\(\) \(1, at 2:1\)$")]),
            (linked, {"/a.css": (200, css, "@supports (display: grid) {\n"
                                           "  .a { display: grid; gap: 1em; color: var(--x); }\n}\n")},
             [("PASS", "1 stylesheet, 1 rule: IE11 keeps all")]),
            ('<link rel="stylesheet" href="/a.css"><link rel="stylesheet" href="/c.css"></head>',
             {"/a.css": (200, css, '@import "b.css";\n'), "/b.css": (200, css, ".b { inset: 0; }"),
              "/c.css": (200, {"Content-Type": "text/plain"}, "")},
             [("WARN", r"/b.css \(imported by http://[\d.:]+/a.css\): inset \(1, at 1:6\)$"),
              ("WARN", "/c.css is served as text/plain, and IE11 applies a stylesheet only as "
                       "text/css")]),
            (linked, {"/a.css": (200, css, ".a { color: #333; }\n" * 210000)},
             [("WARN", r"/a.css is 4.2 MB; stylesheets past 4 MB are not judged$")]),
            ("<style>.a { inset: 0; }\n.b { aspect-ratio: 1; }</style></head>", {},
             [("WARN", r"\(inline style\): inset \(1, at 6:13\), aspect-ratio \(1, at 7:6\)$")]),
        ]
        for head, routes, expected in cases:
            with self.subTest(head=head, routes=routes):
                ROUTES.clear()
                ROUTES.update(GOOD)
                # Elements for every rule: one of no element is no loss.
                ROUTES["/"] = (200, HTML, (HEAD + BODY).replace("</head>", head)
                               .replace("<p>", '<p class="a b c">'))
                ROUTES.update(routes)
                code, lines = check("127.0.0.1:%d" % PORTS["http"])
                self.assertEqual(0, code)
                self.assertEqual(len(expected), len(lines["stylesheets"]))
                for (status, says), (line_status, line) in zip(expected, lines["stylesheets"]):
                    self.assertEqual(status, line_status)
                    self.assertRegex(line, says)

    def test_json_holds_the_same_verdicts_as_the_lines(self):
        host = "127.0.0.1:%d" % PORTS["https"]
        cases = [("/app.js", (200, {}, "var f = (x) => x;\n"), "FAIL", 1),
                 ("/stats/varnholt.html", (404, {}, ""), "WARN", 0)]
        for route, answer, verdict, exit_code in cases:
            with self.subTest(verdict=verdict):
                ROUTES.clear()
                ROUTES.update(GOOD)
                ROUTES[route] = answer
                code, lines = check(host, "--https")
                json_code, verdicts = check(host, "--https", "--json")
                self.assertEqual((exit_code, exit_code), (code, json_code))
                self.assertEqual((verdict, host), (verdicts["verdict"], verdicts["host"]))
                # The verdicts, not the timings: each run takes its own time to answer.
                timeless = lambda line: re.sub(r"\b\d+\.\d+ s\b", "T s", line)
                self.assertEqual([(status, timeless(rest)) for name in lines
                                  for status, rest in lines[name]],
                                 [(c["status"], timeless("%s: %s" % (c["name"], c["detail"])))
                                  for c in verdicts["checks"] if not BOX_NOTE.match(
                                      "%s %s: %s" % (c["status"], c["name"], c["detail"]))])

    def test_fail_on_warn_lets_only_a_portal_that_passes_through(self):
        warned = {"/stats/varnholt.html": (404, {}, "")}
        failed = dict(warned, **{"/app.js": (200, {}, "var f = (x) => x;\n")})
        json_warn = ["--json", "--fail-on", "warn"]
        cases = [({}, ["--fail-on", "warn"], 0, None), (warned, [], 0, None),
                 (warned, ["--fail-on", "warn"], 1, None), (warned, json_warn, 1, "WARN"),
                 (failed, json_warn, 1, "FAIL")]
        for routes, options, exit_code, verdict in cases:
            with self.subTest(routes=routes, options=options):
                ROUTES.clear()
                ROUTES.update(GOOD, **routes)
                code, said = check("127.0.0.1:%d" % PORTS["http"], *options)
                self.assertEqual(exit_code, code)
                if "--json" in options:
                    self.assertEqual((verdict, "warn", code, "bubblewrap"),
                                     (said["verdict"], said["fail_on"], said["exit_code"],
                                      said["box"]))

    def test_what_the_page_says_reaches_the_terminal_short_and_escaped(self):
        raw = "\x1b]0;owned\x07\x9b31m\u202e"
        shown = "\\x1b]0;owned\\x07\\x9b31m\\u202e"
        many = ("for (var i = 0; i < 20000; i++) {\n  var x = new XMLHttpRequest();\n"
                "  x.open('GET', 'http://h' + i + '.example/');\n  x.send();\n}\n")
        page = (HEAD + BODY).replace
        cases = [  # routes; what lines say, by check; the counts and items of the scripts lists;
            # the terminal's encoding
            ({"/app.js": (200, {}, many)},
             [("scripts", r"not made: (http://h\d+\.example/, ){10}and 19990 more$")],
             [(20000, 100)], "utf-8"),
            ({"/": (200, HTML, page("/app.js", "/%s.js" % raw).replace(
                "var since = 3;", "if (!window.Promise) throw new Error('%s\\ud800');" % raw))},
             [("scripts", re.escape("/%s.js cannot be fetched: " % shown)),
              ("scripts", "as the page loads, at 7:47, " + re.escape(shown + "\\ud800 ("))],
             [(1, 1)], "utf-8"),
            ({"/": (200, HTML, page("/app.js", "/" + "a" * 70000)
                    .replace("IE=edge", "é" + "x" * 50000))},
             [("document-mode", r"'\\xe9x+\.\.\. \(50\d{3} characters, shortened\)$"),
              ("scripts", "judged as edge mode would run them"),
              ("scripts", r"/a+\.\.\. \(70\d{3} characters, shortened\) cannot be fetched: 414")],
             [], "ascii"),
        ]
        for routes, says, lists, encoding in cases:
            with self.subTest(says=says):
                ROUTES.clear()
                ROUTES.update(GOOD)
                ROUTES.update(routes)
                host = "127.0.0.1:%d" % PORTS["http"]
                # A loaded machine takes more than the default 15 s for 20,000 requests.
                _, lines = check(host, "--timeout", "60", encoding=encoding)
                for _, line in sum(lines.values(), []):
                    self.assertLess(len(line), 2100)
                    self.assertFalse(set("\x1b\x07\x9b\u202e") & set(line))
                for name, expected in says:
                    self.assertRegex(lines[name].pop(0)[1], expected)
                _, verdicts = check(host, "--timeout", "60", "--json")
                self.assertEqual(lists, [(entry["count"], len(entry["items"]))
                                         for c in verdicts["checks"] if c["name"] == "scripts"
                                         for entry in c["lists"]])

    def test_each_construct_is_named_where_it_first_comes(self):
        cases = [  # a script; a construct in it: name, count, line:column (from 0)
            ("f = () => () => 1;", "arrow function 2 1:4"),  # the walk meets the inner one first
            ("function* g() {}", "generator 1 1:8"),
            ("({ *gen() {} })", "generator 1 1:3"),
            ("class A { static async *m() {} }", "generator 1 1:23"),
            ("class A { static async *m() {} }", "async function or await 1 1:17"),
            ("async function f() { await g(); }", "async function or await 2 1:0"),
            ("async function f() {}", "async function or await 1 1:0"),
            ("function f(a, b = 1) {}", "default parameter 1 1:14"),
            ("let a = 1;", "let/const 1 1:0"),
            ("class A {}", "class 1 1:0"),
            ("class A { #x = 1; }", "private class member 1 1:10"),
            ("class A { x = 1; }", "class field 1 1:10"),
            ("class A { static {} }", "class static block 1 1:10"),
            ("s = `a`;", "template literal 1 1:4"),
            ("var [a] = b;", "destructuring 1 1:4"),
            ("f(...a);", "spread or rest 1 1:2"),
            ("var {a, ...rest} = o;", "spread or rest 1 1:8"),
            ("for (var x of a) {}", "for...of 1 1:0"),
            ("o = { m() {} };", "shorthand method 1 1:6"),
            ("o = { a };", "shorthand property 1 1:6"),
            ("o = { [k]: 1 };", "computed property 1 1:6"),
            ("o = { [k]() {} };", "computed property 1 1:6"),
            ("class A { [Symbol.iterator]() {} }", "computed property 1 1:10"),
            ("x = 2 ** 3;", "exponent operator 1 1:4"),
            ("a ||= b;", "logical assignment 1 1:0"),
            ("a = b ?? c;", "nullish coalescing 1 1:4"),
            ("a = b?.c;", "optional chaining 1 1:4"),
            ("try {} catch {}", "catch without a binding 1 1:7"),
            ("function F() { return new.target; }", "new.target or import.meta 1 1:22"),
            ("import('a');", "dynamic import() 1 1:0"),
            ("import a from 'a';\nexport var b = a;", "import or export 2 1:0"),
            ("n = 1n;", "BigInt literal 1 1:4"),
            ("r = /a/u;", "regular expression flag 1 1:4"),
            ("n = 0b1;", "binary or octal literal 1 1:4"),
            ("n = 1_000;", "numeric separator 1 1:4"),
        ]
        for (source, expected), found in zip(cases, examine([source for source, _ in cases])):
            with self.subTest(source=source):
                self.assertIsNone(found["error"])
                named = ["%s %d %d:%d" % (c["name"], c["count"], c["line"], c["column"])
                         for c in found["constructs"]]
                self.assertIn(expected, named)

    def test_a_host_that_cannot_be_reached_fails_saying_why(self):
        silent, closed = socket.socket(), socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen()  # and never accepts
        closed.bind(("127.0.0.1", 0))
        hosts = [("127.0.0.1:%d" % silent.getsockname()[1], "timed out: no answer within 2 s"),
                 ("127.0.0.1:%d" % closed.getsockname()[1], "refused the connection"),
                 ("portal.invalid", "the name portal.invalid is not found")]
        for host, says in hosts:
            with self.subTest(host=host):
                started = time.monotonic()
                code, lines = check(host, "--timeout", "2")
                self.assertLess(time.monotonic() - started, 10)
                self.assertEqual((1, "FAIL"), (code, lines["reachable"][0][0]))
                self.assertIn(says, lines["reachable"][0][1])
        silent.close()
        closed.close()


if __name__ == "__main__":
    SCRIPT = os.path.join(os.path.abspath(sys.argv.pop(1)), "scripts", "check-portal.sh")
    unittest.main(verbosity=2)
