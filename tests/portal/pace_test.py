#!/usr/bin/env python3
"""The page run at a remote portal's pace: scripts/check-portal.sh against a
loopback portal that answers the page's requests late, or never, as one
across the internet does. The verdict is the one that IE11 gives, however
late the answers come.

Usage: pace_test.py SOURCE_DIR [unittest options]
"""
import http.server
import os
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import check_portal_test as portal  # noqa: E402
import sandbox_test  # noqa: E402
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "portal_check"))
import run_verdicts  # noqa: E402

SCRIPT = PORT = None
with open("/usr/share/javascript/jquery/jquery.min.js") as jquery:
    JQUERY = jquery.read()
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
        body = (body or "").encode()
        self.send_response(200 if body else 404)
        self.send_header("Content-Type", "text/html; charset=utf-8" if body.startswith(b"<!")
                         else "text/javascript")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            self.wfile.write(body)
        except OSError:
            pass  # a run that stopped waiting

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
    global PORT
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Slow)
    server.daemon_threads = True
    PORT = server.server_address[1]
    threading.Thread(target=server.serve_forever, daemon=True).start()


def tearDownModule():
    NEVER.set()


def scripts_lines(*options, path=None):
    """The scripts lines [(status, line)], and the seconds the check took;
    path: a folder of another node to run the page with."""
    env = dict(os.environ, PATH=os.pathsep.join(filter(None, [path, os.environ["PATH"]])))
    started = time.monotonic()
    result = subprocess.run([SCRIPT, *options, "127.0.0.1:%d" % PORT], capture_output=True,
                            text=True, timeout=120, env=env)
    print(result.stdout + result.stderr)
    return ([line for line in portal.verdicts(result.stdout) if line[1].startswith("scripts:")],
            time.monotonic() - started)


class Pace(unittest.TestCase):
    def test_a_verdict_waits_for_the_answers_however_late(self):
        assign = "Object.assign({}, {news: text});"
        # Under Node 18 the tenth of ten requests made as the page loads was answered after
        # the run had gone on.
        tenth = ("var n = 0;\nfor (var i = 0; i < 10; i++) get('/api/' + i, function () {\n"
                 "  if (++n == 10) Object.assign({}, {});\n});\n")
        cases = [  # the page's routes; the scripts lines; the check's options; its node
            *[(dict(page(GET + "get('/api/news', function (text) {\n  %s\n});\n" % assign),
                    **{"/api/news": (delay, "[]")}),
               [("FAIL", r"/app.js: as the page loads, at 8:10, Object.assign is not a function "
                         r"\(IE11 lacks Object.assign\)$")], ())
              for delay in (0.5, 2)],
            (dict(page(GET + tenth), **{"/api/%d" % i: (0.2, "[]") for i in range(10)}),
             [("FAIL", r"/app.js: as the page loads, at 9:25, Object.assign")], (),
             sandbox_test.node_18),
            # The second asked from the answer to the first, whose handler sets a timer.
            (dict(page(GET + "get('/api/a', function (a) {\n  get('/api/b', function (b) {\n"
                             "    setTimeout(function () { %s }, 500);\n  });\n});\n"
                       % assign.replace("text", "b")),
                  **{"/api/a": (0.5, "a"), "/api/b": (0.5, "b")}),
             [("FAIL", r"/app.js: as the page loads, at 9:37, Object.assign")], ()),
            (dict(page(GET + "go.onclick = function () {\n  get('/api/news', function (text) {\n"
                             "    %s\n  });\n};\n" % assign, '<button id="go">Go</button>'),
                  **{"/api/news": (0.5, "[]")}),
             [("FAIL", r"/app.js: on click of button#go, at 9:12, Object.assign is not")], ()),
            # A long poll is no WARN of its own, but said on a line of its own, and its
            # handler is untested.
            (dict(page(GET + "get('/api/poll', function (text) {\n  %s\n});\n" % assign),
                  **{"/api/poll": (None, "")}),
             [("WARN", r"/app.js: uses what IE11 lacks, untested, .*: Object.assign \(1, "
                       r"at 8:3\)$"),
              ("WARN", r"scripts: not answered when the run ended, so what the page does with the "
                       r"answer is not judged: http://127.0.0.1:\d+/api/poll \(asked as the page "
                       r"loads; waited [23]\.\d s\)$")], ("--timeout", "8")),
        ]
        for routes, expected, options, *node in cases:
            with self.subTest(routes=sorted(routes.items()), node=node):
                ROUTES.clear()
                ROUTES.update(routes)
                lines, took = scripts_lines(*options, path=node and node[0]())
                self.assertEqual([status for status, _ in expected],
                                 [status for status, _ in lines])
                for (_, says), (_, line) in zip(expected, lines):
                    self.assertRegex(line, says)
                if options:
                    self.assertLess(took, float(options[1]) + 4)

    def test_an_exception_goes_to_the_script_and_the_event_that_raised_it(self):
        chart = ("function Chart() {\n  if (!window.Promise) throw {message: 'Canvas not "
                 "supported'};\n}\n")
        busy = ("for (var i = 0; i < 6; i++) document.body.appendChild(document.createElement("
                "'i')).onclick = function () {\n  for (var t = Date.now(); Date.now() - t < 40;) {}"
                "\n};\nsetTimeout(function () { Object.assign({}, {}); }, 1500);\n")
        cases = [  # the page's routes; the scripts lines
            # An object thrown from a timer, by the script that holds its literal message.
            (dict(page("setTimeout(function () { new Chart(); }, 0);\n"),
                  **{"/": (0, HEAD + '<script src="/chart.js"></script><script src="/app.js">'
                                     '</script></body></html>\n'), "/chart.js": (0, chart)}),
             [("FAIL", r"/chart.js: as the page loads, at 2:24, Canvas not supported \(raised "
                       r"only without what IE11 lacks\)$")]),
            # Work the load defers runs before the events: here it adds the handler.
            (page("function step(n) {\n  for (var t = Date.now(); Date.now() - t < 30;) {}\n"
                  "  if (n) setTimeout(function () { step(n - 1); }, 0);\n  else go.onclick = "
                  "function () { Object.assign({}, {}); };\n}\nstep(6);\n",
                  '<button id="go">Go</button>'),
             [("FAIL", r"/app.js: on click of button#go, at 4:42, Object.assign is not")]),
            # A frame's callback is the page's; one cancelled never runs; frames come a
            # tenth of a second apart (at sixty a second, Array.from would be called).
            (page("var id = requestAnimationFrame(function () { Object.assign({}, {}); });\n"
                  "cancelAnimationFrame(id);\nvar n = 0, t = Date.now();\n(function frame() {\n"
                  "  if (Date.now() - t < 150) requestAnimationFrame(frame, ++n);\n"
                  "  else n > 3 ? Array.from([]) : [1].find(Boolean);\n})();\n(function hold() {"
                  "\n  if (Date.now() - t < 400) setTimeout(hold, 0);\n})();\n"),
             [("FAIL", r"/app.js: as the page loads, at 6:37, \[1\]\.find is not a function"),
              ("WARN", r"/app.js: uses what IE11 lacks, untested, .*: Object\.assign "
                       r"\(1, at 1:46\), Array\.from \(1, at 6:16\)$")]),
            # One delegated handler raising alike at its elements: one line, each told apart.
            (dict(page("$('nav').on('click', 'a', function () {\n  Array.from([]);\n});\n",
                       '<nav><a id="more">More</a><a>Other</a><a>Last</a></nav>'),
                  **{"/": (0, HEAD + '<nav><a id="more">More</a><a>Other</a><a>Last</a></nav>'
                                     '<script src="/jquery.js"></script><script src="/app.js">'
                                     '</script></body></html>\n'), "/jquery.js": (0, JQUERY)}),
             [("FAIL", r"/app.js: on click of a#more, the 2nd a, the 3rd a, at 2:9, Array\.from "
                       r"is not a function")]),
            # A timer set at load that runs while the events are fired is the load's.
            (page(busy), [("FAIL", r"/app.js: as the page loads, at 4:33, Object.assign is not")]),
        ]
        for routes, expected in cases:
            with self.subTest(routes=sorted(routes.items())):
                ROUTES.clear()
                ROUTES.update(routes)
                lines, _ = scripts_lines()
                self.assertEqual(len(expected), len(lines))
                for (status, says), (line_status, line) in zip(expected, lines):
                    self.assertEqual(status, line_status)
                    self.assertRegex(line, says)

    def test_an_exception_is_judged_on_what_it_is_whatever_event_each_run_was_in(self):
        raised = {"event": "exception", "script": 0, "line": 3, "column": 4, "message": "no canvas",
                  "lacks": []}
        click = dict(raised, during={"type": "click", "selector": "body"})
        sources = [("http://portal/app.js", "", 1, 0, "http://portal/app.js")]
        for plain, stripped in [([click], [raised]), ([raised], [click])]:
            with self.subTest(plain=plain):
                self.assertEqual([], run_verdicts.failures(plain, stripped, sources,
                                                           "http://portal/"))
        # Raised alike by the handlers of several events, it is one line that names them.
        alike = [dict(raised, lacks=["Array.from"], during={"type": kind, "selector": selector})
                 for kind, selector in [("click", "a#more"), ("click", "a"), ("click", "a"),
                                        ("change", "select")]]
        self.assertEqual([("FAIL", "http://portal/app.js: on click of a#more, a and on change of "
                                   "select, at 3:5, no canvas (IE11 lacks Array.from)")],
                         run_verdicts.failures([], alike, sources, "http://portal/"))


if __name__ == "__main__":
    sandbox_test.SOURCE = os.path.abspath(sys.argv.pop(1))
    SCRIPT = os.path.join(sandbox_test.SOURCE, "scripts", "check-portal.sh")
    unittest.main(verbosity=2)
