#!/usr/bin/env python3
"""A webpack bundle and its source map (data/sourcemap) at a loopback portal:
the scripts check's places given in the original sources too, a map that
cannot be had or read named on a line of its own, and the --sarif log
valid by the published SARIF 2.1.0 schema (fetched once with npm into
build/).

Usage: sourcemap_test.py SOURCE_DIR
"""
import base64
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_portal_test as portal  # noqa: E402
from check_portal_test import GOOD, HEAD, HTML, PORTS, ROUTES, check  # noqa: E402

setUpModule = portal.setUpModule
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "sourcemap", "dist")
with open(os.path.join(DATA, "app.js")) as bundle, open(os.path.join(DATA, "app.js.map")) as made:
    BUNDLE, MAP = bundle.read(), made.read()
with open(os.path.join(DATA, "..", "..", "..", "..", "..", "CMakeLists.txt")) as cmake:
    VERSION = re.search(r"project\(\w+ VERSION ([\d.]+)", cmake.read()).group(1)
NAMED = "//# sourceMappingURL=app.js.map"
JS = {"Content-Type": "text/javascript"}
# The package that ships the schema, at an exact version, and the schema in it.
SCHEMA_PACKAGE = "@microsoft/jest-sarif@1.0.0-beta.0"
SCHEMA = "package/lib/schemas/sarif-2.1.0-rtm.5.json"
# Debian's python3-jsonschema, whichever python runs the tests.
VALIDATE = ("import json, sys, jsonschema\n"
            "schema, log = (json.load(open(p)) for p in sys.argv[1:])\n"
            "for e in jsonschema.Draft4Validator(schema).iter_errors(log): print(e.message)")
# The bundle, as the page's own or as a script the page adds.
BUNDLED = r"FAIL scripts: http://127\.0\.0\.1:\d+/dist/app\.js(?: \(added by .* loads\))?: "
CONSTRUCT = BUNDLED + r"class \(1, at %s\)"
LACKED = (BUNDLED + r"as the page loads, at %s, "
          r"Object\.assign is not a function \(IE11 lacks Object\.assign\)")
ADDS = "<script>var s = document.createElement('script'); s.src = '/dist/app.js'; " \
    "document.body.appendChild(s);</script>"
MAPPED = (r"src/settings\.js:2:8 \(dist/app\.js 1:\d+\)",
          r"src/merge\.js:3:\d+ \(dist/app\.js 1:\d+\)")
UNMAPPED = (r"1:\d+", r"1:\d+")


def schema():
    cache = os.path.join(os.path.dirname(portal.SCRIPT), "..", "build", "sarif-cache")
    if not os.path.exists(os.path.join(cache, SCHEMA)):
        os.makedirs(cache, exist_ok=True)
        packed = subprocess.run(["npm", "pack", SCHEMA_PACKAGE], cwd=cache, check=True,
                                timeout=300, capture_output=True, text=True).stdout.split()[-1]
        subprocess.run(["tar", "xzf", packed, SCHEMA], cwd=cache, check=True)
    return os.path.join(cache, SCHEMA)


def placed(location):
    where = location["physicalLocation"]
    return where["artifactLocation"]["uri"], where["region"]["startLine"]


class SourceMaps(unittest.TestCase):
    def serve(self, script, headers=JS, adds=False, **routes):
        ROUTES.clear()
        ROUTES.update(GOOD, **routes)
        ROUTES["/"] = (200, HTML, HEAD + '</head><body>%s</body></html>'
                       % (ADDS if adds else '<script src="/dist/app.js"></script>'))
        ROUTES["/dist/app.js"] = (200, headers, script)

    def scripts_lines(self, *options):
        code, lines = check("127.0.0.1:%d" % PORTS["http"], *options)
        self.assertEqual(1, code)
        return ["%s %s" % line for line in lines["scripts"]]

    def expect(self, lines, places, unread=None):
        expected = [CONSTRUCT % places[0], LACKED % places[1]] + ([unread] if unread else [])
        self.assertEqual(len(expected), len(lines), lines)
        for pattern, line in zip(expected, lines):
            self.assertRegex(line, "^" + pattern)

    def test_a_bundles_places_are_given_in_its_sources_and_in_the_sarif_log(self):
        inline = "//# sourceMappingURL=data:application/json;charset=utf-8;base64," + \
            base64.b64encode(MAP.encode()).decode()
        gone = "//# sourceMappingURL=gone.map"
        # The last comment counts, and a SourceMap header wins over any comment.
        for named, headers, adds in ((NAMED, JS, False), (inline, JS, False), (NAMED, JS, True),
                                     (gone + "\n" + NAMED, JS, False),
                                     (gone, dict(JS, SourceMap="app.js.map"), False)):
            with self.subTest(map=named[:40], adds=adds), tempfile.TemporaryDirectory() as folder:
                self.serve(BUNDLE.replace(NAMED, named), headers, adds=adds,
                           **{"/dist/app.js.map": (200, {}, MAP)})
                written = os.path.join(folder, "check.sarif")
                self.expect(self.scripts_lines("--sarif", written), MAPPED)
                found = subprocess.run(["/usr/bin/python3", "-c", VALIDATE, schema(), written],
                                       capture_output=True, text=True, check=True).stdout
                self.assertEqual("", found)
                with open(written) as log:
                    run = json.load(log)["runs"][0]
                # The bundle's own place beside, from the portal's root.
                self.assertEqual([("scripts/past-es5", "error", "src/settings.js", 2,
                                   "dist/app.js", 1),
                                  ("scripts/ie11-lacks", "error", "src/merge.js", 3,
                                   "dist/app.js", 1)],
                                 [(r["ruleId"], r["level"], *placed(r["locations"][0]),
                                   *placed(r["relatedLocations"][0]))
                                  for r in run["results"] if r["ruleId"].startswith("scripts")])
                self.assertEqual(VERSION, run["tool"]["driver"]["version"])
                self.assertEqual("127.0.0.1:%d" % PORTS["http"], run["properties"]["portal"])

    def test_a_map_that_cannot_be_had_or_read_is_named_and_the_bundles_places_stand(self):
        bare = BUNDLE.replace(NAMED, "")
        refused = "http://169.254.169.254/app.js.map"
        ours = r"/dist/app\.js: its source map http://127\.0\.0\.1:\d+/dist/"
        cases = [  # the script, its headers, the map's answer, the line that names the map
            (bare, dict(JS, SourceMap="/dist/gone.map"), None,
             ours + r"gone\.map cannot be fetched: 404 Not Found; the places given in it are the "
                    r"script's own$"),
            # At 16 MiB a map is read, a byte more it is not.
            (BUNDLE, JS, (200, {}, '{"version": 3, "mappings": "AAAA'.rjust(16 << 20)),
             ours + r"app\.js\.map cannot be read: .*JSON"),
            (BUNDLE, JS, (200, {}, " " * ((16 << 20) + 1)),
             ours + r"app\.js\.map is 16\.8 MB; maps past 16 MB are not read"),
            (BUNDLE.replace("app.js.map", refused), dict(JS, **{"X-SourceMap": refused}), None,
             r"/dist/app\.js: its source map http://169\.254\.169\.254/app\.js\.map is not "
             r"fetched: a loopback portal's page names a link-local address"),
        ]
        for script, headers, answer, unread in cases:
            with self.subTest(unread=unread[:60]):
                self.serve(script, headers, **({"/dist/app.js.map": answer} if answer else {}))
                self.expect(self.scripts_lines(), UNMAPPED, r"WARN scripts: http://\S+" + unread)


if __name__ == "__main__":
    portal.SCRIPT = os.path.join(os.path.abspath(sys.argv.pop(1)), "scripts", "check-portal.sh")
    unittest.main(verbosity=2)
