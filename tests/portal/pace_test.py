#!/usr/bin/env python3
"""The page run at a remote portal's pace: scripts/check-portal.sh against a
loopback portal that answers the page's requests late, or never, as one
across the internet does. The verdict is the one that IE11 gives, however
late the answers come.

Usage: pace_test.py SOURCE_DIR [unittest options]
"""
import http.server
import os
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_portal_test as portal  # noqa: E402

HEAD = portal.HEAD + "</head><body>\n"
ROUTES = {}  # path: (seconds before the answer, None for never; body)
NEVER = threading.Event()  # set when the test ends, to free the held answers


class Slow(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        delay, body = ROUTES.get(self.path.split("?")[0], (0, None))
        if delay is None:
            NEVER.wait(60)
            return
        time.sleep(delay)
        kind = "text/html; charset=utf-8" if body.startswith("<!") else "text/javascript"
        self.send_response(200 if body is not None else 404)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len((body or "").encode())))
        self.end_headers()
        self.wfile.write((body or "").encode())

    def log_message(self, *args):
        pass


def page(script, body=""):
    """A start page with body and one script, served at once."""
    return {"/": (0, HEAD + body + '<script src="/app.js"></script></body></html>\n'),
            "/app.js": (0, script), "/stats/varnholt.html": (0, "<!DOCTYPE html><p>")}


# Asks for a path and calls done(text) with its answer, as IE11 pages do.
GET = ("function get(path, done) {\n  var r = new XMLHttpRequest();\n"
       "  r.onload = function () { done(r.responseText); };\n"
       "  r.open('GET', path);\n  r.send();\n}\n")


def setUpModule():
    portal.setUpModule()  # its certificate, which check() trusts
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Slow)
    server.daemon_threads = True
    portal.PORTS["slow"] = server.server_address[1]
    threading.Thread(target=server.serve_forever, daemon=True).start()


def tearDownModule():
    NEVER.set()
    portal.KEYS_FOLDER.cleanup()


def scripts_line(*options):
    """The scripts lines, and the seconds the check took."""
    started = time.monotonic()
    _, lines = portal.check("127.0.0.1:%d" % portal.PORTS["slow"], *options)
    return lines["scripts"], time.monotonic() - started


class Pace(unittest.TestCase):
    def test_a_verdict_waits_for_the_answers_however_late(self):
        assign = "Object.assign({}, {news: text});"
        cases = [  # the page's routes; the scripts lines; the check's options
            *[(dict(page(GET + "get('/api/news', function (text) {\n  %s\n});\n" % assign),
                    **{"/api/news": (delay, "[]")}),
               [("FAIL", r"/app.js: as the page loads, at 8:10, Object.assign is not a function "
                         r"\(IE11 lacks Object.assign\)$")], ())
              for delay in (0.5, 2)],
            (dict(page(GET + "get('/api/a', function (a) {\n  get('/api/b', function (b) {\n"
                             "    %s\n  });\n});\n" % assign.replace("text", "b")),
                  **{"/api/a": (0.5, "a"), "/api/b": (0.5, "b")}),
             [("FAIL", r"/app.js: as the page loads, at 9:12, Object.assign")], ()),
            (dict(page(GET + "go.onclick = function () {\n  get('/api/news', function (text) {\n"
                             "    %s\n  });\n};\n" % assign, '<button id="go">Go</button>'),
                  **{"/api/news": (0.5, "[]")}),
             [("FAIL", r"/app.js: on click of button#go, at 9:12, Object.assign is not")], ()),
            # A long poll is no WARN of its own, but said, and its handler is untested.
            (dict(page(GET + "get('/api/poll', function (text) {\n  %s\n});\n" % assign),
                  **{"/api/poll": (None, "")}),
             [("WARN", r"/app.js: uses what IE11 lacks, untested, .*: Object.assign \(1, at 8:3\); "
                       r"not answered when the run ended, so what the page does with the answer "
                       r"is not judged: http://127.0.0.1:\d+/api/poll \(asked as the page loads; "
                       r"waited [23]\.\d s\)$")], ("--timeout", "8")),
        ]
        for routes, expected, options in cases:
            with self.subTest(routes=sorted(routes.items())):
                ROUTES.clear()
                ROUTES.update(routes)
                lines, took = scripts_line(*options)
                self.assertEqual([status for status, _ in expected],
                                 [status for status, _ in lines])
                for (_, says), (_, line) in zip(expected, lines):
                    self.assertRegex(line, says)
                if options:
                    self.assertLess(took, float(options[1]) + 4)


if __name__ == "__main__":
    portal.SCRIPT = os.path.join(os.path.abspath(sys.argv.pop(1)), "scripts", "check-portal.sh")
    unittest.main(verbosity=2)
