#!/usr/bin/env python3
"""What IE11 runs but a run hides, against a loopback portal: code a script
makes from text (eval, new Function, a string timer, a webpack development
build) judged as a script of its own; a script inside written markup run in
place; a use of what IE11 lacks whose exception the page swallows.

Usage: made_test.py SOURCE_DIR [-k pattern]
"""
import os
import sys
import unittest

import check_portal_test as portal
import added_test
from added_test import HOST, JS, page

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "made")
APP = HOST + "/app.js"


def data(name):
    with open(os.path.join(DATA, name), encoding="utf-8") as file:
        return (200, JS, file.read())


def setUpModule():
    portal.setUpModule()


class Made(added_test.Added):
    # The cases of the scripts a page adds are added_test.py's own.
    test_scripts_the_page_adds_are_fetched_once_run_in_place_and_judged = None
    test_past_the_bounds_a_warn_and_forged_wants_are_only_requests = None

    def test_code_made_from_text_is_judged_as_a_script(self):
        made = ("var n = eval('1 + 1');\n"  # ECMAScript 5 text: nothing to say
                "eval('var f = () => 1;\\n//# sourceURL=/made/f.js');\n"
                "var item = new Function('n', 'return `item ${n}`;');\n"
                "  setTimeout(\"const n = 2;\", 5);\n")
        cases = [
            ({"/app.js": (200, JS, made)},
             [("FAIL", r"/app.js, the code eval makes at 2:1 \(/made/f.js\): arrow function "
                       r"\(1, at 1:9\)$"),
              ("FAIL", r"/app.js, the code new Function makes at 3:12: template literal "
                       r"\(1, at 1:8\)$"),
              ("WARN", r"/app.js, the code setTimeout makes at 4:3: let/const \(1, at 1:1\)")]),
            # Made of text the script puts together as it runs.
            ({"/": page('<script src="/app.js"></script><script>\n  setInterval(["let q;"]'
                        '.join(""), 9);</script>'),
              "/app.js": (200, JS, "var arrow = '(x) => x';\nvar f = Function('return ' + arrow);"
                                   "\nsetTimeout(['var a = 1;'].join(''), 5);\n"
                                   "var n = Function('n', 'return ' + 'n');\n"
                                   "var g = new Function('return ' + '`x`');\n")},
             [("FAIL", r"/app.js, the code new Function makes at 2:9: arrow function "
                       r"\(1, at 1:8\)$"),
              ("FAIL", r"/app.js, the code new Function makes at 5:9: template literal "
                       r"\(1, at 1:8\)$"),
              ("WARN", r"gameid=220 \(inline script\), the code setInterval makes at 5:3: "
                       r"let/const \(1, at 1:1\)")]),
            ({"/": page('<script src="/dist/main.js"></script>'),
              "/dist/main.js": data("dist/main.js")},
             [("FAIL", r"/dist/main.js, the code eval makes at 29:1 \(webpack://[^ ]*/src/news"
                       r".js\?\): let/const \(1, at 5:1\), arrow function \(2, first at 5:18\)$")]),
            # Text built for eval as the script runs: the call stays direct (made() reads its
            # own variable through it), and an exception on a rewritten line keeps its place
            # (raised in both runs, it says nothing).
            ({"/": page('<script src="/app.js"></script><script>\n  var parts = ["var k = ", '
                        '"() => 3;"]; eval(parts.join("")); null.x;</script>'),
              "/app.js": (200, JS, "var s = 'var e5 = 1;'; eval(s);\nfunction made(parts) {\n"
                                   "  var local = '() => 2';\n  var seen = eval(parts.join(''));\n"
                                   "  return eval('var h = ' + seen + ';//# sourceURL=/h.js');\n}"
                                   "\nmade(['lo', 'cal']);\n")},
             [("FAIL", r"/app.js, the code eval makes at 5:10 \(/h.js\): arrow function "
                       r"\(1, at 1:9\)$"),
              ("FAIL", r"gameid=220 \(inline script\), the code eval makes at 5:41: arrow "
                       r"function \(1, at 1:9\)$")]),
            # Past ten texts of one script, one line says how many more; an indirect eval too.
            ({"/app.js": (200, JS, "(0, eval)('let a;');\n" + "eval('let b%d;');\n" * 11 % (
                *range(11),))},
             [("WARN", r"/app.js, the code eval makes at %d:1: let/const" % line)
              for line in range(1, 11)] +
             [("FAIL", r"/app.js makes 2 more texts of code past ECMAScript 5: .* 11:1.* 12:1")]),
        ]
        for routes, expected in cases:
            with self.subTest(routes=sorted(routes)):
                self.judged(routes, expected)

    def test_a_script_inside_written_markup_runs_in_place(self):
        by_page = HOST + r"/\?mini=2&gameid=220 \(inline script\)"
        written = ("<script>document.write('<div><p>News</p><script>var n = 1;<\\/script></div>');"
                   "\ndocument.write('<div><script src=\"/news.js\"><\\/script><p><script>"
                   "var ran = Object.assign({}, {});<\\/script></p></div>');</script>"
                   "<script>document.title = n.toFixed();</script>")
        self.judged({"/": page(written), "/news.js": (200, JS, "var f = (x) => x;\n")},
                    [("FAIL", r"/news.js \(added by %s as the page loads\): arrow function"
                              % by_page),
                     ("FAIL", r"gameid=220 \(inline script added by %s as the page loads\): "
                              r"as the page loads, at 1:18, Object.assign is not a function"
                              % by_page)],
                    ["/news.js"])

    def test_a_use_the_run_reaches_is_recorded_and_a_swallowed_one_fails(self):
        # Statics, globals by their bare name and prototype members; the page
        # still finds each absent, so that the polyfills below install.
        uses = ("Promise.resolve(2).then(function (v) { document.title = String(v); });\n"
                "var copy = Object.assign ? Object.assign({}, {}) : {};\n"
                "try { Object.assign({}, {}); } catch (e) { copy = {}; }\n"
                "if ('assign' in Object || Object.hasOwnProperty('assign') ||\n"
                "    !(Object instanceof Function)) Object.assign({}, {});\n"
                "Promise.resolve(1).then(function (v) {\n"
                "  document.title = Object.assign({}, {v: v}).v;\n});\n"
                "var s = typeof Symbol !== 'undefined' ? Symbol('a') : 'a';\n"
                "if (Array.prototype.includes) [1].includes(1);\n"
                "try { 'ab'.endsWith('b'); } catch (e) { s = 'b'; }\n"
                "try { s = Symbol.iterator; } catch (e) { s = '@@iterator'; }\n"
                "if ('Symbol' in window || window.hasOwnProperty('Symbol') || 'includes' in [] ||\n"
                "    Object.getOwnPropertyNames(window).indexOf('Symbol') >= 0 ||\n"
                "    Object.getOwnPropertyNames(Array.prototype).indexOf('includes') >= 0 ||\n"
                "    Array.prototype.hasOwnProperty('includes') || {}.toString.call([]) !== "
                "'[object Array]' ||\n"
                "    {}.toString.call('') !== '[object String]') Array.from([]);\n"
                "Promise.resolve(3).then(function (v) { document.title = 'ab'.padStart(3); });\n"
                "Promise.resolve(4).then(function (v) {\n"
                "  document.title = Symbol('s').toString() + v;\n});\n"
                "attempt(function () { document.title = 'ab'.startsWith('a'); }, function () {});\n"
                "attempt(function () { document.title = 'ab'.repeat(2); }, function () {});\n"
                "if (!('Symbol' in window)) s = 'none';\n"
                "function later() { return Symbol('later'); }\n"
                "Promise.resolve(5).then(function () { return 'ab'.includes('a'); })\n"
                "  .catch(function () {});\n"
                "var src = document.currentScript.src;\n")
        lib = ("function attempt(work, failed) { try { work(); } catch (e) { failed(e); } }\n"
               "if (!String.prototype.padStart) String.prototype.padStart = ''.trim;\n")
        # es6-promise 4.2.8, as added_test.py's bundle has it.
        routes = {"/": page('<script src="/promise.js"></script><script src="/lib.js"></script>'
                            '<script src="/app.js"></script>'),
                  "/promise.js": added_test.data("lib/es6-promise.auto.min.js"),
                  "/lib.js": (200, JS, lib), "/app.js": (200, JS, uses)}
        then = (r"a promise's then of %s/promise.js, which brings Promise, turned it into a "
                r"rejection that nothing reports$" % HOST)
        caught = r"and no error shows: the page's own code in %s/lib.js caught it$" % HOST
        self.judged(routes, [("FAIL", r"/app.js: as the page loads, at 28:34, Cannot read "
                                      r"properties of undefined \(reading 'src'\) \(raised only"),
                             ("FAIL", r"/app.js: as the page loads, at 22:45, String.prototype."
                                      r"startsWith is used where IE11 lacks it, " + caught),
                             ("FAIL", r"/app.js: as the page loads, at 23:45, String.prototype."
                                      r"repeat is used where IE11 lacks it, " + caught),
                             ("FAIL", r"/app.js: as the page loads, at 7:27, Object.assign is used "
                                      r"where IE11 lacks it, and no error shows: " + then),
                             ("FAIL", r"/app.js: as the page loads, at 20:20, Symbol is used "
                                      r"where IE11 lacks it, and no error shows: " + then),
                             ("FAIL", r"/app.js: as the page loads, at 26:51, String.prototype."
                                      r"includes is used where IE11 lacks it, and no error "
                                      r"shows: " + then)])


if __name__ == "__main__":
    portal.SCRIPT = os.path.join(os.path.abspath(sys.argv.pop(1)), "scripts", "check-portal.sh")
    unittest.main(verbosity=2)
