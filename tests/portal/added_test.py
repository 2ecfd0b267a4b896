#!/usr/bin/env python3
"""The scripts a page adds itself (appended, inserted, written, a bundle's
chunk) against a loopback portal: fetched once for both runs, run in place,
judged and named with what added them; past the bounds a WARN, and what page
code forges on the run's output is no more than a request for a script.

Usage: added_test.py SOURCE_DIR [-k pattern]
"""
import os
import subprocess
import sys
import unittest

import check_portal_test as portal
from check_portal_test import GOOD, HEAD, HTML, ROUTES, ASKED, PORTS

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "bundle")
JS = {"Content-Type": "text/javascript"}
# What the page's own script adds, as a bundler's runtime or a widget does.
APPEND = ("var s = document.createElement('script');\ns.src = '/news.js';\n"
          "document.head.appendChild(s);\n")
USES = "var f = (x) => x;\nObject.assign({}, {});\n"
HOST = r"http://127\.0\.0\.1:\d+"
APP = HOST + "/app.js"


def data(name):
    with open(os.path.join(DATA, name), encoding="utf-8") as file:
        return (200, JS, file.read())


def page(scripts):
    return (200, HTML, HEAD + scripts + "</head><body><p>News</p></body></html>\n")


def check(*options):
    """The exit code, the scripts lines as (status, line) and stderr."""
    result = subprocess.run([portal.SCRIPT, *options, "127.0.0.1:%d" % PORTS["http"]],
                            capture_output=True, text=True, timeout=120)
    print(result.stdout + result.stderr)
    lines = portal.verdicts(result.stdout)
    return result.returncode, [(s, rest) for s, rest in lines if rest.startswith("scripts:")], \
        result.stderr


def setUpModule():
    portal.setUpModule()


class Added(unittest.TestCase):
    def judged(self, routes, expected, asked=(), *options):
        ROUTES.clear()
        ROUTES.update(GOOD)
        ROUTES.update(routes)
        del ASKED[:]
        _, lines, errors = check(*options)
        self.assertNotIn("Traceback", errors)
        self.assertEqual(len(expected), len(lines), lines)
        for (status, says), (line_status, line) in zip(expected, lines):
            self.assertEqual(status, line_status, line)
            self.assertRegex(line, says)
        for path in asked:  # each address fetched once for both runs
            self.assertEqual(1, ASKED.count(path), path)

    def test_scripts_the_page_adds_are_fetched_once_run_in_place_and_judged(self):
        written = "<script>document.write('<script src=\"/news.js\"><\\/script>');</script>"
        # Behind a script of its own, the writer waits in jsdom's queue as the later ones do.
        loader = ('<script src="/app.js"></script>'
                  "<script>window.Promise || document.write('<script src=\"/lib/es6-promise.auto"
                  ".min.js\"><\\/script>');</script>\n<script>new Promise(function (r) { r(); })"
                  ".then(function () {});</script>")
        by_page = HOST + r"/\?mini=2&gameid=220 \(inline script\)"
        # The second write's two scripts run in its order, and land after the writer still
        # when the inline one of the first ran within it.
        twice = ("<script>document.write('<script>var n;<\\/script>'); document.write('<script "
                 "src=\"/a.js\"><\\/script><script src=\"/news.js\"><\\/script>');</script>")
        cases = [  # routes; the scripts lines, in order; paths that must be asked once
            ({"/app.js": (200, JS, APPEND), "/news.js": (200, JS, USES)},
             [("FAIL", r"/news.js \(added by %s as the page loads\): arrow function \(1, at 1:9\)$"
               % APP),
              ("FAIL", r"/news.js \(added by %s as the page loads\): as the page loads, at 2:8, "
                       r"Object.assign is not a function \(IE11 lacks Object.assign\)$" % APP)],
             ["/news.js"]),
            ({"/": page(written), "/news.js": (200, JS, USES)},
             [("FAIL", r"/news.js \(added by %s as the page loads\): arrow function" % by_page),
              ("FAIL", r"/news.js \(added by %s as the page loads\): as the page loads, at 2:8, "
                       r"Object.assign is not a function" % by_page)], ["/news.js"]),
            # The polyfill runs in place, before the script that needs it.
            ({"/": page(loader),
              "/lib/es6-promise.auto.min.js": data("lib/es6-promise.auto.min.js")},
             [("PASS", r"4 scripts .*; the page brings Promise from %s/lib/es6-promise.auto.min.js "
                       r"\(added by %s as the page loads\)$" % (HOST, by_page))],
             ["/lib/es6-promise.auto.min.js"]),
            ({"/": page('<script src="/app.js"></script>' + twice),
              "/a.js": (200, JS, "var lib = {go: function () {}};\n"),
              "/news.js": (200, JS, "lib.go();\n" + USES)},
             [("FAIL", r"/news.js \(added by %s as the page loads\): arrow function \(1, at 2:9\)$"
               % by_page),
              ("FAIL", r"/news.js \(added by %s as the page loads\): as the page loads, at 3:8, "
                       r"Object.assign is not a function" % by_page)], ["/a.js", "/news.js"]),
            # An inline one, as jQuery's globalEval inserts and removes it at once: judged
            # whole, past its first lines.
            ({"/app.js": (200, JS, "var s = document.createElement('script');\ns.text = Array(21)"
                                   ".join('var n = 1;\\n') + 'var f = (x) => x; Object.assign({}, "
                                   "{});';\ndocument.head.appendChild(s).parentNode.removeChild(s);"
                                   "\n")},
             [("FAIL", r"gameid=220 \(inline script added by %s as the page loads\): arrow "
                       r"function \(1, at 21:9\)$" % APP),
              ("FAIL", r"gameid=220 \(inline script added by %s as the page loads\): as the page "
                       r"loads, at 21:26, Object.assign is not a function" % APP)]),
            # One that cannot be fetched fires its error event.
            ({"/app.js": (200, JS, APPEND.replace("news", "gone") +
                          "s.onerror = function () { Object.assign({}, {}); };\n")},
             [("FAIL", r"/gone.js cannot be fetched: 404 .*\(added by %s as the page loads\)$"
               % APP),
              ("FAIL", r"/app.js: as the page loads, at 4:34, Object.assign is not a function")]),
            ({"/": page('<script src="/lib/es6-promise.auto.min.js"></script>'
                        '<script src="/dist/main.js"></script>'),
              "/lib/es6-promise.auto.min.js": data("lib/es6-promise.auto.min.js"),
              "/dist/main.js": data("dist/main.js"),
              "/dist/news.chunk.js": data("dist/news.chunk.js")},
             [("FAIL", r"/dist/news.chunk.js \(added by %s/dist/main.js as the page loads\): arrow "
                       r"function \(1, at 1:191\)$" % HOST),
              ("FAIL", r"/dist/news.chunk.js \(added by .*\): on click of body, at 1:266, "
                       r"Object.assign is not a function \(IE11 lacks Object.assign\)$")],
             ["/dist/news.chunk.js"]),
        ]
        for routes, expected, *asked in cases:
            with self.subTest(routes=sorted(routes)):
                self.judged(routes, expected, *asked)

    def test_past_the_bounds_a_warn_and_forged_wants_are_only_requests(self):
        many = "for (var i = 0; i < 104; i++)\n  document.head.appendChild(document.create" \
               "Element('script')).src = '/n' + i + '.js';\n"
        forged = ("<script>var node = this.constructor.constructor('return process')();\n"
                  "node.stdout.write('{\"event\":\"want\",\"key\":\"x\",\"url\":5,"
                  "\"loading\":true}\\n"
                  "{\"event\":\"want\",\"key\":\"y\",\"url\":\"/forged.js\",\"loading\":true,"
                  "\"by\":9}\\n{\"event\":\"want\",\"key\":\"z\",\"text\":[],\"loading\":true}\\n"
                  "{\"event\":\"script\",\"key\":\"y\",\"index\":0,\"text\":\"x\"}\\n');</script>")
        cases = [
            (dict({"/app.js": (200, JS, many)},
                  **{"/n%d.js" % i: (200, JS, "window.n = (window.n || 0) + 1;\n")
                     for i in range(104)}),
             [("WARN", r"added more scripts than the check takes \(100, or 32 MiB in all\): .*: "
                       r"%s/n100.js, .*/n103.js$" % HOST)], ["/n0.js", "/n99.js"]),
            # What the page forges is fetched as an added script, once, and nothing else.
            ({"/": page(forged), "/forged.js": (200, JS, "var f = (x) => x;\n")},
             [("FAIL", r"/forged.js \(added by %s/\?mini=2&gameid=220 as the page loads\): arrow "
                       r"function" % HOST)], ["/forged.js"]),
        ]
        for routes, expected, asked in cases:
            with self.subTest(routes=len(routes)):
                self.judged(routes, expected, asked)


if __name__ == "__main__":
    portal.SCRIPT = os.path.join(os.path.abspath(sys.argv.pop(1)), "scripts", "check-portal.sh")
    unittest.main(verbosity=2)
