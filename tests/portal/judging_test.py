#!/usr/bin/env python3
"""What syntax.js and stylesheets.js understand of the code they read, and the whole
check on Bootstrap 4's own bundle (npm's: Debian's rebuild calls Object.assign unguarded).
Usage: judging_test.py SOURCE_DIR"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import check_portal_test as portal
from check_portal_test import GOOD, HEAD, HTML, ROUTES, examine, setUpModule  # noqa: F401
from sandbox_test import NO_LANDLOCK

BUNDLE = "package/dist/js/bootstrap.bundle.min.js"
# IE11 always leaves shadow() at its first line, and a click calls it.
SHADOW = ("function shadow(el) {\n  if (!document.documentElement.attachShadow) return null;\n"
          "  return el.getRootNode() instanceof ShadowRoot ? el : null;\n}\n"
          "document.getElementById('go').onclick = function () { shadow(this); };\n")


def judged(program, payload, **env):
    source = os.path.join(os.path.dirname(portal.SCRIPT), "..")
    result = subprocess.run(["node", os.path.join(source, "tools", "portal_check", program)],
                            input=json.dumps(payload), capture_output=True, text=True,
                            check=True, env=dict(os.environ, NODE_PATH="/usr/share/nodejs", **env))
    return json.loads(result.stdout)


class Judging(unittest.TestCase):
    def test_an_exit_on_what_ie11_lacks_guards_what_follows_it(self):
        # Guarded; then not: before the exit, after the loop it breaks, after a test IE11
        # passes or that cannot hold there (a polyfill's start), after no sure exit.
        guarded = [SHADOW, "function f() { if (!window.Promise) throw 1; new Promise(g); }",
                   "for (;;) { if (typeof Promise === 'undefined') break; Promise.all(); }",
                   "for (;;) { if (!a || !window.Promise) { a = 1; continue; } new Promise(); }",
                   "switch (a) { case 1: if (a && !navigator.serviceWorker) break; Promise(); }",
                   "function f() { if (window.Promise) { a(); } else { return; } new Promise(a); }",
                   "var p = window.Promise ? new Promise(g) : 0;\n"
                   "window.Promise && Promise.all(a);",
                   # A test whose outcome in IE11 is not known keeps either branch.
                   "if (window.Promise || a) { new Promise(g); }"]
        unguarded = ["function f() { new Promise(g); if (!window.Promise) return; }",
                     "for (;;) { if (!window.Promise) break; }\nnew Promise(a);",
                     "function f() { if (!document.title) return; new Promise(a); }",
                     "function f() { if (typeof Symbol == 'function' || window.Promise) return;"
                     "\n  new Promise(a); }",
                     "function f() { if (!window.Promise) { a(); } new Promise(a); }",
                     # In the branch IE11 takes, the one the test meant to keep it from.
                     "var p = window.Promise ? 0 : new Promise(g);",
                     "if (typeof Promise === 'undefined') { new Promise(a); }",
                     "window.Promise || new Promise(a);"]
        found = judged("syntax.js", guarded + unguarded)
        for source, said in zip(guarded + unguarded, found):
            with self.subTest(source=source):
                self.assertEqual([] if source in guarded else ["Promise"],
                                 [name for name, *_ in said["references"]["used"]
                                  if name.startswith(("Promise", "ShadowRoot"))])

    def test_a_use_is_placed_by_the_line_ends_of_ecmascript(self):
        found = judged("syntax.js", ["a();\r\nb();\u2028 Promise.all();\r  fetch(x);\u2029\n"
                                     "  new Proxy({}, {});", "let a;\r\n fetch(b);"])
        used = [said["references"]["used"] for said in found]
        self.assertEqual([[["Promise", 3, 1], ["Proxy", 6, 6], ["fetch", 4, 2]], [["fetch", 2, 1]]],
                         [[[name, line, column] for name, _, line, column in names
                           if name in ("Promise", "Proxy", "fetch")] for names in used])

    def test_a_trailing_comma_in_arguments_or_parameters_is_named_where_it_is(self):
        cases = [("f(a, b,\n);", [[1, 1, 6]]), ("new X((a), /* , */);", [[1, 1, 9]]),
                 ("function g(a,) {}\nvar o = {m: function (x,) {}};", [[2, 1, 12]]),
                 ("f((a), b); f(a /* , */); function q(a) {}", [])]
        for (source, commas), found in zip(cases, examine([s for s, _ in cases])):
            with self.subTest(source=source):
                named = [[c["name"], c["count"], c["line"], c["column"]]
                         for c in (found or {"constructs": []})["constructs"]]
                self.assertEqual([["trailing comma in arguments or parameters"] + at
                                  for at in commas], named)

    def test_what_acts_in_no_browser_where_it_is_set_is_no_loss(self):
        cases = [  # rules, what IE11 is found to drop of them that matters
            (".a { display: flex; justify-items: center; justify-self: end; }\n"
             ".b { justify-self: center; }\n.c { column-count: 2; row-gap: 1em; }", []),
            (".a { display: block; gap: 1em; row-gap: 1em; place-items: center; }", []),
            (".a { display: grid; justify-self: center; justify-items: center; }",
             ["display: grid", "justify-items"]),
            (".a { gap: 1em; }\n.b { display: inherit; row-gap: 1em; }\n"
             ".c { display: inline-flex; place-self: center; }", ["gap", "row-gap", "place-self"]),
        ]
        for (rules, dropped), found in zip(cases, judged("stylesheets.js", [r for r, _ in cases])):
            with self.subTest(rules=rules):
                self.assertEqual(dropped, [kind["name"] for kind in found["found"]])

    def test_values_and_image_fits_that_ie11_lacks_are_lost_where_no_fallback_stays(self):
        cases = [  # rules, what IE11 is found to drop of them that matters
            (".a { position: sticky; top: 0; }\n.b { width: fit-content; }\n"
             ".c { position: -webkit-sticky; position: sticky; }", ["position: sticky",
                                                                  "width: fit-content"]),
            ("img.d { object-fit: cover; object-position: top; }", ["object-fit",
                                                                  "object-position"]),
            (".a { position: relative; position: sticky; }\n.b { text-align: center; "
             "caption-side: top; }\n.c { user-select: none; cursor: grab; }\n"
             ".d { position: sticky; position: relative; }", []),
        ]
        for (rules, dropped), found in zip(cases, judged("stylesheets.js", [r for r, _ in cases])):
            with self.subTest(rules=rules):
                self.assertEqual(dropped, [kind["name"] for kind in found["found"]])

    def test_a_font_in_formats_ie11_cannot_use_alone_is_lost(self):
        lost = ["@font-face { font-family: A; src: url(a.woff2) format('woff2'); }",
                "@font-face { font-family: A; src: url(a.woff2?v=2#x), url(a.svg#a); }",
                "@font-face { font-family: A; src: url(/font?v=2) format('woff2'); }",
                # The later src holds, and the one IE11 cannot read does not.
                "@font-face { font-family: A; src: url(a.eot); src: url(a.woff2); "
                "src: url(a.woff) tech(variations); }",
                "@font-face { font-family: A; src: url(a.woff2); "
                "src: url(a.woff) format(woff) ]; }"]
        kept = ["@font-face { font-family: A; src: url(a.woff2) format('woff2'), "
                "url(a.woff) format('woff'); }",
                "@font-face { font-family: A; src: url(a.woff2); src: url(a.woff) FORMAT(woff); }",
                "@font-face { font-family: A; }",
                "@font-face { font-family: A; src: local(A), url(a.woff2); }",
                "@supports (display: grid) { @font-face { font-family: A; src: url(a.woff2); } }"]
        found = judged("stylesheets.js", lost + kept)
        self.assertEqual([["@font-face only in WOFF 2"],
                          ["@font-face only in WOFF 2 and SVG fonts"],
                          ["@font-face only in WOFF 2"]] + [["@font-face only in WOFF 2"]] * 2 +
                         [[]] * len(kept),
                         [[kind["name"] for kind in said["found"]] for said in found])
        self.assertEqual([[1, 1, None]], found[0]["found"][0]["places"])

    def test_a_rule_is_lost_only_where_it_matches_an_element_after_the_load_and_events(self):
        sheet = (".gone, .gallery-grid { display: grid; }\n"
                 ".toggle-switch:focus-within { margin: 0; }\n"
                 ".news .tab:hover::after { position: sticky; }\n")
        grid, focus, sticky = (r"display: grid \(1, at 1:24\)", r":focus-within \(1, at 2:15\)",
                               r"position: sticky \(1, at 3:27\)")
        added = ("<button id=go type=button>Go</button><script>var n = document.createElement("
                 "'p');\nn.innerHTML = '<b class=tab></b>'; n.className = 'news';\n"
                 "document.body.appendChild(n); document.getElementById('go').onclick = "
                 "function () { n.appendChild(document.createElement('i')).className = "
                 "'toggle-switch'; };</script>")
        cases = [  # the body, whether the page's code runs, what the line says
            ('<p class="news">News</p><b class="tab"></b><script>var a = 1;</script>', True,
             "PASS", r"3 rules: IE11 keeps all .* page's elements; .* of 3 rules that match none$"),
            ('<div class="gallery-grid"></div><script>var a = 1;</script>', True,
             "WARN", r"/a.css: %s$" % grid),
            (added, True, "WARN", r"/a.css: %s, %s$" % (focus, sticky)),
            ("<p>News</p><script>var a = 1;</script>", False,
             "WARN", r"/a.css: %s, %s, %s$" % (grid, focus, sticky)),
        ]
        tools = tempfile.mkdtemp(prefix="portal-tools-")  # PATH without bwrap: no page run
        for tool in ("bash", "dirname", "python3", "node", "prlimit", "setpriv"):
            os.symlink(shutil.which(tool), os.path.join(tools, tool))
        for body, runs, status, says in cases:
            with self.subTest(body=body, runs=runs):
                ROUTES.update(GOOD, **{"/a.css": (200, {"Content-Type": "text/css"}, sheet)})
                ROUTES["/"] = (200, HTML, HEAD + '<link rel="stylesheet" href="/a.css"></head>'
                               "<body>%s</body></html>" % body)
                # Without bwrap, and without Landlock either: no box at all.
                result = subprocess.run(([] if runs else NO_LANDLOCK) +
                                        [portal.SCRIPT, "127.0.0.1:%d" % portal.PORTS["http"]],
                                        capture_output=True, text=True, timeout=120,
                                        env=dict(os.environ, **({} if runs else {"PATH": tools})))
                lines = [line for line in result.stdout.splitlines() if " stylesheets: " in line]
                self.assertEqual(1, len(lines), result.stdout)
                self.assertTrue(lines[0].startswith(status + " "), lines[0])
                self.assertRegex(lines[0], says)
        shutil.rmtree(tools)

    def test_the_run_says_no_match_only_of_a_selector_it_judged(self):
        asked = [".tab", ".news .tab", ".gone, b.tab", "svg|a", "b >> i", ".tab" + " *" * 600,
                 "p:not(.x)", "i[title='a, b']", "i[title='a, c']", "p.news b", "p.news i"]
        run = ("const m = require(process.argv[1]), { JSDOM } = require('jsdom');\n"
               "const { window } = new JSDOM('<b class=tab></b><p class=News><i title=\"a, b\">"
               "</i></p>');\nconst page = { input: { match: 1 }, matcher: m.matcher(window),\n"
               "  emit: (event, fields) => console.log(JSON.stringify(fields.found)) };\n"
               "m.hear(%s);\nm.answer(page);\n" % json.dumps(asked))
        matched = os.path.join(os.path.dirname(portal.SCRIPT), "..", "tools", "portal_check",
                               "matched.js")
        found = subprocess.run(["node", "-e", run, matched], capture_output=True, text=True,
                               check=True, env=dict(os.environ, NODE_PATH="/usr/share/nodejs"))
        # Without a doctype, quirks mode: a class matches in any case.
        self.assertEqual([True, False, True, True, True, True, True, True, False, False, True],
                         json.loads(found.stdout))

    def test_the_facts_kept_of_bcd_judge_as_bcd_itself(self):
        sys.path.insert(0, os.path.join(os.path.dirname(portal.SCRIPT), "..", "tools",
                                        "portal_check"))
        import node
        scripts = [SHADOW, "if (!window.Promise) throw 1;\nnew Promise(f); Array.from(s);"]
        sheets = [".a { display: grid; gap: 1em; color: rgb(0 0 0 / 50%); }\n"
                  ".b:focus-within { position: sticky; inset: 0; }"]
        with tempfile.TemporaryDirectory() as home:
            os.environ["XDG_CACHE_HOME"] = home
            try:
                kept = node.keep_facts()
            finally:
                del os.environ["XDG_CACHE_HOME"]
            self.assertEqual(["css.json", "lacks.json"], sorted(os.listdir(kept)))
            for program, payload in (("syntax.js", scripts), ("stylesheets.js", sheets)):
                with self.subTest(program=program):
                    self.assertEqual(judged(program, payload),
                                     judged(program, payload, PORTAL_CHECK_FACTS=kept))

    def test_the_quicker_cascade_gives_the_styles_jsdom_gives(self):
        # Every element's computed style, with the page run's cascade and with jsdom's own.
        styles = ("const [quick, cascade] = process.argv.slice(1);\n"
                  "if (quick && !require(cascade).quickerCascade()) throw new Error('not in');\n"
                  "const { window } = new (require('jsdom').JSDOM)(%s, {pretendToBeVisual: true});"
                  "\nconsole.log(JSON.stringify(Array.from(window.document.querySelectorAll('*'),"
                  " (e) => [e.localName, window.getComputedStyle(e).cssText])));\n" % json.dumps(
                      "<style>:is(div, p) span, div[x='a b'] > i { visibility: hidden }\n"
                      ".c, #i b { color: red } DIV > U { display: block } li:first-child, "
                      "svg|a, ul ~ *, p\\ { display: none }</style><article><section><h1>T</h1>"
                      "</section></article><table><tr><td>c</td></tr></table><input type=hidden>"
                      "<p hidden>h</p><div x='a b'><i>i</i><span>s</span></div><p class=c><span>x"
                      "</span></p><div id=i><b>b</b><u>u</u></div><ul><li>a<ul><li>b</li></ul>"
                      "</li></ul><svg><foreignObject><div>f</div></foreignObject></svg><b>after"
                      "</b>"))
        cascade = os.path.join(os.path.dirname(portal.SCRIPT), "..", "tools", "portal_check",
                               "cascade.js")
        found = [subprocess.run(["node", "-e", styles, quick, cascade], capture_output=True,
                                text=True, check=True, env=dict(os.environ,
                                NODE_PATH="/usr/share/nodejs")).stdout for quick in ("", "1")]
        self.assertIn('["h1","display: block; font-size: 1.17em;', found[0])
        self.assertEqual(found[0], found[1])

    def test_pages_that_leave_early_where_ie11_lacks_something_pass(self):
        cache = os.path.join(os.path.dirname(portal.SCRIPT), "..", "build", "bootstrap-cache")
        if not os.path.exists(os.path.join(cache, BUNDLE)):
            os.makedirs(cache, exist_ok=True)
            subprocess.run(["npm", "pack", "bootstrap@4.6.2"], cwd=cache, check=True, timeout=300,
                           capture_output=True)
            subprocess.run(["tar", "xzf", "bootstrap-4.6.2.tgz", BUNDLE], cwd=cache, check=True)
        with open("/usr/share/javascript/jquery/jquery.min.js") as jquery, \
                open(os.path.join(cache, BUNDLE)) as bootstrap:
            scripts = {"/jquery.js": (200, {}, jquery.read()),
                       "/bootstrap.js": (200, {}, bootstrap.read()), "/app.js": (200, {}, SHADOW)}
        for body in ['<script src="/jquery.js"></script><script src="/bootstrap.js"></script>'
                     "<script>$('#go').tooltip({trigger: 'click'});</script>",
                     '<script src="/app.js"></script>']:
            with self.subTest(body=body):
                ROUTES.update(GOOD, **scripts)
                ROUTES["/"] = (200, HTML, HEAD + '</head><body><button id="go" title="Tip">?'
                               "</button>%s</body></html>" % body)
                code, lines = portal.check("127.0.0.1:%d" % portal.PORTS["http"])
                # Bootstrap's bundle names a map the portal does not serve: a note.
                self.assertEqual((0, {"PASS"}), (code, {s for s, _ in lines["scripts"]}))
                self.assertRegex(lines["scripts"][0][1], "events? fired at the page's handlers$")


if __name__ == "__main__":
    portal.SCRIPT = os.path.join(os.path.abspath(sys.argv.pop(1)), "scripts", "check-portal.sh")
    unittest.main(verbosity=2)
