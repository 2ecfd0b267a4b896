#!/usr/bin/env python3
"""The scripts check's lines as a web team acts on them: its notes said once,
on lines of their own; what IE11 lacks narrowed to what a message names; a
failure that follows from an earlier script's named so; the events left
unfired counted by type at elements told apart.

Usage: lines_test.py SOURCE_DIR
"""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_portal_test as portal  # noqa: E402
from check_portal_test import BODY, GOOD, HEAD, HTML, PORTS, ROUTES, check  # noqa: E402

setUpModule = portal.setUpModule


class Lines(unittest.TestCase):
    def expect(self, files, expected, page=HEAD + BODY):
        """The page with files as its scripts gives the expected scripts
        lines, (status, pattern), in order."""
        ROUTES.clear()
        ROUTES.update(GOOD)
        ROUTES["/"] = (200, HTML, page.replace('<script src="/app.js"></script>', "".join(
            '<script src="/%s"></script>' % name for name in files)))
        ROUTES.update({"/" + name: (200, {}, text) for name, text in files.items()})
        lines = check("127.0.0.1:%d" % PORTS["http"])[1]["scripts"]
        self.assertEqual(len(expected), len(lines), lines)
        for (status, says), (line_status, line) in zip(expected, lines):
            self.assertEqual(status, line_status, line)
            self.assertRegex(line, says)

    def test_notes_on_the_whole_check_come_once_on_lines_of_their_own(self):
        ie7 = (HEAD + BODY).replace("IE=edge", "IE=EmulateIE7")
        handlers = ("for (var i = 0; i < 300; i++) document.body.appendChild(document."
                    "createElement('i')).addEventListener('click', function () {});\n"
                    "var as = document.getElementsByTagName('a');\nfor (var j = 0; j < as.length;"
                    " j++) { as[j].onclick = as[j].onfocus = function () {}; }\n")
        links = ('<a id="top"></a><a class="tab x"></a><a class="x"></a><a class="x"></a>'
                 '<a></a><p>')
        cases = [  # page, scripts, the scripts lines
            (ie7, {"a.js": "var f = () => 1;", "b.js": "class B {}"},
             [("WARN", r"^scripts: the page's scripts are judged as edge mode would run them; "
                       r"the page renders in IE7 mode"),
              ("FAIL", r"/a\.js: arrow function \(1, at 1:9\)$"),
              ("FAIL", r"/b\.js: class \(1, at 1:1\)$")]),
            ((HEAD + BODY).replace("<p>", links), {"app.js": handlers},
             [("PASS", "300 events fired at the page's handlers$"),
              ("PASS", r"^scripts: 10 events left unfired by the budget \(5 click, 5 focus\), "
                       r"at 5 elements: a#top, a\.tab, the 2nd a\.x, the 3rd a\.x, "
                       r"the 5th a$")]),
        ]
        for page, files, expected in cases:
            with self.subTest(files=files):
                self.expect(files, expected, page)

    def test_ie11_lacks_what_the_message_names_and_its_owner_where_shown(self):
        self.expect({"a.js": "Object.values({});", "b.js": "[1].includes(1);",
                     "c.js": "var a = {b: new Map()};\na.b.values();",
                     "d.js": "new window.CustomEvent('x');",
                     "e.js": "var assign = Object.assign;\nassign({}, {});"},
                    [("FAIL", r"/a\.js: .*Object\.values is not a function \(IE11 lacks "
                              r"Object\.values\)$"),
                     ("FAIL", r"/b\.js: .*\(IE11 lacks Array\.prototype\.includes\)$"),
                     # a.b is some object: the members of that name, none of them a static.
                     ("FAIL", r"/c\.js: .*\(IE11 lacks (\w+\.prototype\.values or )+"
                              r"(\w+\.prototype\.values|\d+ more)\)$"),
                     ("FAIL", r"/d\.js: .*\(IE11 lacks new CustomEvent\)$"),
                     ("FAIL", r"/e\.js: .*\(IE11 lacks Object\.assign\)$")])

    def test_a_failure_that_follows_from_an_earlier_scripts_names_it(self):
        files = {
            "early.js": "if (!window.Promise) early.go();",
            "lib.js": "new Promise(function () {});\nwindow.lib = {go: function () {}};",
            # Raised alike in both runs elsewhere, the same message hides nothing here.
            "own.js": "setTimeout(function () { throw new Error('needs Promise'); });\n"
                      "if (!window.Promise) throw new Error('needs Promise');",
            "app.js": "lib.go();",
            "ui.js": "document.body.onclick = function () { lib.go(); };\n"
                     "document.body.onmousedown = function () { window.Promise || "
                     "window.nothing.go(); };\nif (!window.Promise) window.nothing.go();"}
        lib = r"follows from http://127\.0\.0\.1:\d+/lib\.js, which failed first\)$"
        self.expect(files, [
            ("FAIL", r"/early\.js: .*early is not defined \(raised only without"),
            ("FAIL", r"/lib\.js: .*\(IE11 lacks Promise\)$"),
            ("FAIL", r"/own\.js: as the page loads, at 2:.*needs Promise \(raised only without"),
            ("FAIL", r"/app\.js: as the page loads, .*lib is not defined \(" + lib),
            # The global it lacks came from lib.js; an undefined that names none, from the
            # nearest that failed before it.
            ("FAIL", r"/ui\.js: as the page loads, at 3:.*\(reading 'go'\) \(follows from "
                     r"http://127\.0\.0\.1:\d+/app\.js"),
            ("FAIL", r"/ui\.js: on click of body, .*lib is not defined \(" + lib),
            # Its own load failed: no other script is named.
            ("FAIL", r"/ui\.js: on mousedown of body, .*\(raised only without")])


if __name__ == "__main__":
    portal.SCRIPT = os.path.join(os.path.abspath(sys.argv.pop(1)), "scripts", "check-portal.sh")
    unittest.main(verbosity=2)
