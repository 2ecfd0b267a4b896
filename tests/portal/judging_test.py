#!/usr/bin/env python3
"""What the scripts and stylesheets checks understand of the code they read:
syntax.js and stylesheets.js called straight through node, and the whole check
on a page with Bootstrap 4's own bundle (fetched once with npm: Debian's
libjs-bootstrap4 rebuilds it with an unguarded Object.assign, which IE11
lacks) beside Debian's jQuery, on the loopback portal of check_portal_test.

Usage: judging_test.py SOURCE_DIR
"""
import json
import os
import subprocess
import sys
import unittest

import check_portal_test as portal
from check_portal_test import GOOD, HEAD, HTML, ROUTES, examine

JQUERY = "/usr/share/javascript/jquery/jquery.min.js"
BOOTSTRAP = "4.6.2"


def setUpModule():
    portal.setUpModule()


def bootstrap_bundle():
    """Bootstrap's own bundle, fetched once with npm into the build folder."""
    cache = os.path.join(os.path.dirname(portal.SCRIPT), "..", "build", "bootstrap-cache")
    bundle = os.path.join(cache, "bootstrap-%s.bundle.min.js" % BOOTSTRAP)
    if not os.path.exists(bundle):
        os.makedirs(cache, exist_ok=True)
        subprocess.run(["npm", "pack", "bootstrap@%s" % BOOTSTRAP], cwd=cache, check=True,
                       capture_output=True, timeout=300)
        with open(bundle + ".part", "wb") as out:
            subprocess.run(["tar", "xzOf", "bootstrap-%s.tgz" % BOOTSTRAP,
                            "package/dist/js/bootstrap.bundle.min.js"], cwd=cache, check=True,
                           stdout=out)
        os.replace(bundle + ".part", bundle)
    return bundle


def node_program(name, payload):
    program = os.path.join(os.path.dirname(portal.SCRIPT), "..", "tools", "portal_check", name)
    result = subprocess.run(["node", program], input=json.dumps(payload), capture_output=True,
                            text=True, check=True,
                            env=dict(os.environ, NODE_PATH="/usr/share/nodejs"))
    return json.loads(result.stdout)


def references(sources):
    """The globals and static members (those named with a capital: the page's
    own are lower case here) that syntax.js finds each source to use unguarded."""
    return [[name for name, *_ in found["references"]["used"] if name[0].isupper()]
            for found in node_program("syntax.js", sources)]


# A function that IE11 always leaves at its first line, and a click that calls it.
SHADOW = ("function shadow(el) {\n  if (!document.documentElement.attachShadow) return null;\n"
          "  return el.getRootNode() instanceof ShadowRoot ? el : null;\n}\n"
          "document.getElementById('go').onclick = function () { shadow(this); };\n")


class Judging(unittest.TestCase):
    def test_an_early_exit_on_what_ie11_lacks_guards_what_follows(self):
        cases = [  # source, the globals used unguarded
            (SHADOW, []),
            ("function f() {\n  if (!window.Promise) throw new Error('old');\n  new Promise(g);\n}",
             []),
            ("for (;;) { if (typeof Symbol === 'undefined') break; Symbol.iterator.x; }", []),
            ("for (;;) { if (!a || !Object.assign) { a = 1; continue; } Object.assign(a, a); }",
             []),
            ("switch (a) { case 1: if (a && !navigator.serviceWorker) break; new Promise(a); }",
             []),
            # Not guarded: a use before the exit, after the loop the break leaves, after an
            # exit on what IE11 has or on a test that does not hold there (a polyfill's
            # start), or after an exit that does not always leave.
            ("function f() {\n  new Promise(g);\n  if (!window.Promise) return;\n}",
             ["Promise"]),
            ("for (;;) { if (!window.Promise) break; }\nnew Promise(a);", ["Promise"]),
            ("function f() { if (!document.title) return; new Promise(a); }", ["Promise"]),
            ("function f() { if (typeof Symbol === 'function' || window.Promise) return;\n"
             "  new Promise(a); }", ["Promise"]),
            ("function f() { if (!window.Promise) { a(); } new Promise(a); }", ["Promise"]),
        ]
        found = references([source for source, _ in cases])
        for (source, used), names in zip(cases, found):
            with self.subTest(source=source):
                self.assertEqual(sorted(used), sorted(names))

    def test_a_trailing_comma_in_arguments_or_parameters_is_named(self):
        name = "trailing comma in arguments or parameters"
        cases = [  # source, [count, line, column] of the trailing comma, None: ECMAScript 5
            ("f(a, b,\n);", [1, 1, 6]),
            ("new X((a), /* , */);", [1, 1, 9]),
            ("function g(a, b,) {}\nvar o = {m: function (x,) {}};", [2, 1, 15]),
            ("f((a), b); f(a /* , */); function q(a) {}", None),
        ]
        for (source, expected), found in zip(cases, examine([source for source, _ in cases])):
            with self.subTest(source=source):
                commas = [[c["count"], c["line"], c["column"]]
                          for c in (found or {"constructs": []})["constructs"] if c["name"] == name]
                self.assertEqual([expected] if expected else [], commas)
                if expected:
                    self.assertIsNone(found["error"])

    def test_what_acts_in_no_browser_where_it_is_set_is_no_loss(self):
        cases = [  # rule, what IE11 is found to drop of it
            (".a { display: flex; justify-items: center; justify-self: end; }", []),
            (".a { display: block; gap: 1em; row-gap: 1em; place-items: center; "
             "justify-content: center; align-items: center; }", []),
            (".a { justify-self: center; }", []),
            (".a { display: grid; justify-self: center; }", ["display: grid"]),
            (".a { column-count: 2; row-gap: 1em; column-gap: 1em; }", []),
            # Still lost: what acts in the layout it is in.
            (".a { gap: 1em; }", ["gap"]),
            (".a { display: inherit; row-gap: 1em; }", ["row-gap"]),
            (".a { display: inline-flex; place-self: center; place-content: center; }",
             ["place-self", "place-content"]),
            (".a { display: grid; justify-items: center; }", ["display: grid", "justify-items"]),
        ]
        judged = node_program("stylesheets.js", [rule for rule, _ in cases])
        for (rule, dropped), found in zip(cases, judged):
            with self.subTest(rule=rule):
                self.assertEqual(dropped, [kind["name"] for kind in found["found"]])

    def test_pages_that_leave_early_where_ie11_lacks_something_pass(self):
        with open(JQUERY) as jquery, open(bootstrap_bundle()) as bootstrap:
            scripts = {"/jquery.js": (200, {}, jquery.read()),
                       "/bootstrap.js": (200, {}, bootstrap.read())}
        button = '<button id="go" title="Tip" data-toggle="tooltip">?</button>'
        cases = [  # head and body, routes
            # A tooltip's handler reaches findShadowRoot once the click is fired.
            ('<script src="/jquery.js"></script><script src="/bootstrap.js"></script></head>'
             "<body>%s<script>$('#go').tooltip({trigger: 'click'});</script>" % button, scripts),
            ("</head><body>%s<script src=\"/app.js\"></script>" % button,
             {"/app.js": (200, {}, SHADOW)}),
        ]
        for page, routes in cases:
            with self.subTest(page=page):
                ROUTES.clear()
                ROUTES.update(GOOD, **routes)
                ROUTES["/"] = (200, HTML, HEAD + page + "</body></html>")
                code, lines = portal.check("127.0.0.1:%d" % portal.PORTS["http"])
                self.assertEqual(0, code)
                self.assertEqual(["PASS"], [status for status, _ in lines["scripts"]])
                self.assertRegex(lines["scripts"][0][1], "events? fired at the page's handlers$")


if __name__ == "__main__":
    portal.SCRIPT = os.path.join(os.path.abspath(sys.argv.pop(1)), "scripts", "check-portal.sh")
    unittest.main(verbosity=2)
