#!/usr/bin/env python3
"""The pages a player can reach from the start page, against one loopback
portal: followed breadth first within the portal's origin, from the run's
links and navigations or the HTML's, up to --pages; other hosts, new windows
and redirects off the portal never asked.

Usage: pages_test.py SOURCE_DIR
"""
import contextlib
import http.server
import io
import json
import os
import pty
import re
import subprocess
import sys
import tempfile
import threading
import unittest

import check_portal_test as portal
from check_portal_test import ASKED, HEAD, HTML, PORTS, ROUTES, GOOD

ELSEWHERE = "http://127.0.0.2:{other}"


def page(body):
    return (200, HTML, HEAD + "</head><body>" + body + "</body></html>\n")


# The start page's code runs: a click handler navigates, the load adds a link.
START = page('<a href="/news#top">News</a> <a href="%s/elsewhere">Forum</a> '
             '<a href="/blank" target="_blank">Shop</a> <a href="/patch.zip" download>Patch</a> '
             '<button id="go" type="button">Go</button>'
             "<script>document.getElementById('go').onclick = function () {\n"
             "  location.assign('/clicked'); };\nvar a = document.createElement('a');\n"
             "a.href = '/added'; document.body.appendChild(a);</script>" % ELSEWHERE)
ROUTES_OF_PORTAL = {
    "/": START,
    # No script: its links come from its HTML, relative ones from its <base>; /deep is at
    # depth 2. Another port of the portal's host is another origin.
    "/news": page('<base href="/a/"><a href="/deep">Read more</a> <a href="/old">Old</a> '
                  '<a href="later">Later</a> <a href="/news#more">More</a> '
                  '<a href="/shop" target="shop">Shop</a> <a href="%s/elsewhere">Forum</a> '
                  '<a href="http://127.0.0.1:1/port">Port</a>' % ELSEWHERE),
    "/a/later": page("<p>Later</p>"),
    "/deep": page("<script>var f = (x) => x;</script>"),
    "/clicked": page("<p>Clicked</p>"), "/added": page("<p>Added</p>"),
    "/old": portal.moved(ELSEWHERE + "/moved"),
}
# Frames of the start page: one fails, one passes, one is of another host; /frame/deeper is
# a frame of a frame of a frame, past the depth bound.
FRAMED = page('<iframe src="/frame/news.html"></iframe><iframe src="%s/widget"></iframe>'
              '<frame src="/frame/ok.html">' % ELSEWHERE)
ROUTES_OF_FRAMES = {
    "/frame/news.html": page('<script>const n = 1; var f = () => n;</script>'
                             '<iframe src="/frame/inner.html"></iframe>'),
    # No mode of its own: IE11 runs it in the start page's edge mode all the same.
    "/frame/ok.html": (200, HTML, "<html><body><script>var f = 1;</script></body></html>"),
    "/frame/inner.html": page('<iframe src="/frame/deeper.html"></iframe>'),
    "/frame/deeper.html": page("<p>Deeper</p>"),
}


def setUpModule():
    portal.setUpModule()
    other = http.server.ThreadingHTTPServer(("127.0.0.2", 0), portal.Portal)
    PORTS["other"] = other.server_address[1]
    threading.Thread(target=other.serve_forever, daemon=True).start()
    for path, (status, headers, body) in ROUTES_OF_PORTAL.items():
        ROUTES_OF_PORTAL[path] = (status, headers, body.replace("{other}", str(PORTS["other"])))
    ROUTES_OF_FRAMES["/"] = FRAMED[:2] + (FRAMED[2].replace("{other}", str(PORTS["other"])),)


class Pages(unittest.TestCase):
    def checked(self, *options):
        ROUTES.clear()
        ROUTES.update(GOOD, **ROUTES_OF_PORTAL)
        del ASKED[:]
        return portal.check("127.0.0.1:%d" % PORTS["http"], *options)

    def test_the_pages_a_player_reaches_are_checked_and_nothing_else_is_asked(self):
        with tempfile.TemporaryDirectory() as folder:
            written = os.path.join(folder, "check.sarif")
            code, lines = self.checked("--pages", "10", "--sarif", written)
            with open(written) as log:
                results = json.load(log)["runs"][0]["results"]
        # A further page's line that places nothing is at that page.
        self.assertEqual([("error", {"uri": "old", "uriBaseId": "PORTAL"})],
                         [(r["level"], r["locations"][0]["physicalLocation"]["artifactLocation"])
                          for r in results if r["ruleId"] == "reachable"])
        self.assertEqual(1, code)  # /deep fails, the start page passes
        self.assertEqual("FAIL", lines["/deep scripts"][0][0])
        (status, said), = lines["pages"]
        self.assertEqual("PASS", status)
        self.assertRegex(said, r"^pages: 6 pages of the portal checked beside the start page: "
                         r"/news, /added, /clicked, /deep, /old, /a/later; links to other "
                         r"hosts, not followed: http://127\.0\.0\.2:\d+/elsewhere, "
                         r"http://127\.0\.0\.1:1/port$")
        self.assertRegex(lines["/old reachable"][0][1], r"leaves the portal's origin.*302")
        self.assertEqual("FAIL", lines["/old reachable"][0][0])
        for never in ("/elsewhere", "/moved", "/blank", "/patch.zip", "/shop"):
            self.assertNotIn(never, ASKED)
        self.assertEqual(1, ASKED.count("/news"))

    def test_a_page_after_another_in_one_process_is_judged_on_its_own(self):
        """The start page's polyfill, its failure, and its timer that asks and throws
        once its own run is over, reach not the next page, run in the same processes; a
        run stopped at the time limit leaves no process to the next page."""
        start = page('<a href="/two">Two</a><script>if (!Object.assign) Object.assign = '
                     "function (t) { return t; };\nvar t0 = Date.now();\nsetInterval(function "
                     "() { if (Date.now() - t0 < 1000) return; var r = new XMLHttpRequest();\n"
                     "r.open('GET', '/late'); r.send(); Array.from('x'); }, 100);\n"
                     "Array.from('y');</script>")
        # Its load takes a second, as the start page's timer throws; its click is
        # fired in its run without what IE11 lacks as in the other.
        two = page('<button id="go" onclick="Object.assign({}, {})">Go</button><script>'
                   "var until = Date.now() + 1000; while (Date.now() < until) {}</script>")
        looping = start[:2] + (start[2].replace("<script>", "<script>for (;;) {}\n"),)
        try:
            for first, seconds, second, says in (
                    (start, "10", two,
                     r"^FAIL /two scripts: .*click of button#go.*Object\.assign is not a"),
                    (looping, "3", page("<script>var two = 2;</script>"),
                     r"^PASS /two scripts: 1 script parses .* loads with what IE11 lacks")):
                ROUTES_OF_PORTAL.update({"/": first, "/two": second})
                printed = io.StringIO()
                with contextlib.redirect_stdout(printed):
                    self.checked("--pages", "2", "--timeout", seconds)
                out = printed.getvalue()
                self.assertRegex(out, re.compile(says, re.M))
                self.assertNotRegex(out, r"/two .*Array\.from")
                self.assertNotRegex(out, r"(?m)^\S+ scripts: .*Object\.assign is not")
                # Its timer asks nothing once /two is fetched, its run over.
                self.assertNotIn("/late", ASKED[ASKED.index("/two"):])
        finally:
            ROUTES_OF_PORTAL.update({"/": START, "/two": page("")})
            del ROUTES_OF_PORTAL["/two"]

    def test_a_process_runs_at_most_eight_pages(self):
        """Two processes at a time run 20 pages: each counts the pages it ran, and the
        run without what IE11 lacks fails a ninth."""
        counts = ("<script>var node = this.constructor.constructor('return process')();\n"
                  "node.pages = (node.pages || 0) + 1;\n"
                  "if (node.pages > 8) Object['as' + 'sign']({}, {});</script>")
        paths = ["/p%d" % n for n in range(19)]
        routes = dict(ROUTES_OF_PORTAL)
        ROUTES_OF_PORTAL.update({path: page(counts) for path in paths},
                                **{"/": page("".join('<a href="%s">.</a>' % p for p in paths) +
                                             counts)})
        try:
            code, lines = self.checked("--pages", "20")
        finally:
            ROUTES_OF_PORTAL.clear()
            ROUTES_OF_PORTAL.update(routes)
        self.assertEqual(20, sum(status == "PASS" for name, ((status, _),) in lines.items()
                                 if name.endswith("scripts")))

    def test_the_bound_names_what_it_leaves_out(self):
        code, lines = self.checked("--pages", "3")
        self.assertRegex(lines["pages"][0][1], r"checked beside the start page: /news, /added; "
                         r".*; past --pages 3, not checked: /clicked, /deep, /old, /a/later$")
        self.assertEqual(("WARN", 0), (lines["pages"][0][0], code))
        self.assertNotIn("/deep", ASKED)
        code, lines = self.checked("--pages", "1")
        self.assertEqual((0, []), (code, [name for name in lines if "/" in name or
                                          name == "pages"]))
        self.assertNotIn("/news", ASKED)

    def test_frames_of_the_portal_are_checked_in_the_page_that_holds_them(self):
        ROUTES.clear()
        ROUTES.update(GOOD, **ROUTES_OF_FRAMES)
        del ASKED[:]
        with tempfile.TemporaryDirectory() as folder:  # --pages 1
            written = os.path.join(folder, "check.sarif")
            code, lines = portal.check("127.0.0.1:%d" % PORTS["http"], "--sarif", written)
            with open(written) as log:
                rules = [r["ruleId"] for r in json.load(log)["runs"][0]["results"]]
        self.assertEqual(["frames", "scripts/past-es5"], rules)
        start = "(frame of /?mini=2&gameid=220)"
        (status, said), = lines["/frame/news.html %s scripts" % start]
        self.assertEqual((1, "FAIL"), (code, status))
        self.assertRegex(said, r"let/const.*arrow function")
        (status, said), = lines["/frame/ok.html %s scripts" % start]
        self.assertEqual("PASS", status)
        self.assertIn("/frame/inner.html (frame of /frame/news.html) reachable", lines)
        for never in ("/widget", "/frame/deeper.html"):
            self.assertNotIn(never, ASKED)
        (status, said), = lines["frames"]
        self.assertEqual("WARN", status)
        self.assertRegex(said, r"^frames: 3 frames of the portal checked: /frame/news.html, "
                         r"/frame/ok.html, /frame/inner.html; frames of other hosts, not "
                         r"fetched: http://127\.0\.0\.2:\d+/widget; past 10 frames or 2 deep, "
                         r"not checked: /frame/deeper.html$")
        _, said = portal.check("127.0.0.1:%d" % PORTS["http"], "--json")
        held_by = [entry.get("frame_of", ":0").split(":%d" % PORTS["http"])[-1]
                   for entry in said["pages"]]
        self.assertEqual([":0", "/?mini=2&gameid=220", "/?mini=2&gameid=220", "/frame/news.html"],
                         held_by)

    def test_frames_the_page_code_adds_are_checked_once(self):
        adds = ("<script>function frame(src) { var f = document.createElement('iframe');\n"
                "  f.src = src; document.body.appendChild(f); }\nframe('/frame/ok.html');\n"
                "window.addEventListener('load', function () { frame('/frame/added.html');\n"
                "  frame('http://127.0.0.2:%d/ad'); });</script>" % PORTS["other"])
        ROUTES.clear()
        ROUTES.update(GOOD, **ROUTES_OF_FRAMES)
        ROUTES.update({"/": page('<iframe src="/frame/ok.html"></iframe>' + adds),
                       "/frame/added.html": page("<script>const g = () => 1;</script>")})
        del ASKED[:]
        code, lines = portal.check("127.0.0.1:%d" % PORTS["http"])
        (status, said), = lines["/frame/added.html (frame of /?mini=2&gameid=220) scripts"]
        self.assertEqual((1, "FAIL"), (code, status))
        self.assertRegex(said, r"let/const.*arrow function")
        self.assertEqual(("PASS", "frames: 2 frames of the portal checked: /frame/ok.html, "
                          "/frame/added.html; frames of other hosts, not fetched: "
                          "http://127.0.0.2:%d/ad" % PORTS["other"]), lines["frames"][0])
        self.assertEqual(1, ASKED.count("/frame/ok.html"))
        self.assertNotIn("/ad", ASKED)

    def test_progress_is_shown_on_a_terminal_alone(self):
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):  # check() prints what both pipes held
            self.checked("--pages", "2")
        self.assertNotIn("\x1b[K", printed.getvalue())
        terminal, shown = pty.openpty()
        subprocess.run([portal.SCRIPT, "--pages", "2", "127.0.0.1:%d" % PORTS["http"]],
                       stdout=subprocess.DEVNULL, stderr=shown, timeout=120)
        os.close(shown)
        try:
            shown = os.read(terminal, 4096)
        except OSError:  # the terminal closed with nothing written to it
            shown = b""
        os.close(terminal)
        self.assertIn(b"\rchecking /news: 1 of 4 pages done\x1b[K", shown)

    def test_json_holds_each_page_with_its_checks(self):
        code, said = self.checked("--json", "--pages", "3")
        self.assertEqual((2, 0), (said["version"], code))
        self.assertEqual(["reachable", "challenge", "document-mode", "scripts", "stylesheets",
                          "statistics-page", "content-type", "pages"],
                         [check["name"] for check in said["checks"]])
        urls = [entry["url"].split(":%d" % PORTS["http"])[1] for entry in said["pages"]]
        self.assertEqual(["/?mini=2&gameid=220", "/news", "/added"], urls)
        self.assertEqual(["reachable", "document-mode", "scripts", "stylesheets", "content-type"],
                         [check["name"] for check in said["pages"][1]["checks"]])
        self.assertEqual(4, [entry["count"] for entry in said["checks"][-1]["lists"]
                             if entry["of"] == "pages past the bound"][0])


if __name__ == "__main__":
    portal.SCRIPT = os.path.join(os.path.abspath(sys.argv.pop(1)), "scripts", "check-portal.sh")
    unittest.main(verbosity=2)
