"""The check's lines as a SARIF 2.1.0 log (--sarif FILE), for the code-scanning
views a web team reads its other analyses in: one result for each FAIL or
WARN line, under a rule for each kind of finding, placed where the line
places it, in the original source where a map gave one (sourcemaps.py)."""
import json
import os
import re

from fetching import START_PATH

HERE = os.path.dirname(os.path.abspath(__file__))
SCHEMA = "https://json.schemastore.org/sarif-2.1.0.json"
LEVELS = {"FAIL": "error", "WARN": "warning"}

# The rules, by id; the ids stay as they are once published, since code
# scanning tracks each finding by its rule. A scripts line takes its rule
# from the kind of its first place (the place's "kind").
RULES = [
    ("reachable", "The start page does not answer, or its redirects lead elsewhere"),
    ("challenge", "Bot protection or a geo block refuses the launcher"),
    ("document-mode", "The page renders in a document mode older than IE11's edge mode"),
    ("scripts/past-es5", "A script uses a construct past ECMAScript 5, which IE11 or Windows 7 "
                         "does not run"),
    ("scripts/ie11-lacks", "A script raises an exception in the page's run without what IE11 "
                           "lacks"),
    ("scripts/untested-use", "A script uses what IE11 lacks, untested, where the page's run did "
                             "not reach"),
    ("scripts", "The page's scripts cannot be fetched, run or mapped as the check needs"),
    ("stylesheets", "A stylesheet loses layout or colour on IE11"),
    ("mixed-content", "An https page loads parts over http"),
    ("tls", "The TLS suites or certificate fail on Windows 10 or Windows 7"),
    ("statistics-page", "The statistics page does not answer"),
    ("content-type", "The start page is not text/html with a declared charset"),
    ("frames", "A page holds frames past the check's bound on their count or depth"),
]
RULE_INDEX = {rule: index for index, (rule, _) in enumerate(RULES)}
KIND_RULES = {"syntax": "scripts/past-es5", "exception": "scripts/ie11-lacks",
              "untested": "scripts/untested-use"}


def version():
    """The check's version, the project's: its CMakeLists.txt's project(VERSION)."""
    try:
        with open(os.path.join(HERE, "..", "..", "CMakeLists.txt"), encoding="utf-8") as made:
            found = re.search(r"\bproject\s*\([^)]*?\bVERSION\s+([0-9][0-9A-Za-z.+-]*)",
                              made.read())
    except OSError:
        found = None
    return found.group(1) if found else "unknown"


def location(place, base):
    """The place's location: in the original source where its map gave one,
    else at the script's address (within the portal, from its root: base),
    line and column."""
    if place.get("source"):
        return {"physicalLocation": {
            "artifactLocation": {"uri": place["source"], "uriBaseId": "%SRCROOT%"},
            "region": {"startLine": place["sourceLine"], "startColumn": place["sourceColumn"]}}}
    url = place["url"]
    found = {"artifactLocation": {"uri": url[len(base):], "uriBaseId": "PORTAL"}
             if url.startswith(base) else {"uri": url}}
    if place.get("line"):
        found["region"] = {"startLine": place["line"], "startColumn": place["column"]}
    return {"physicalLocation": found}


def result(name, status, detail, page, base):
    """The result of one line of page (None: the start page's or the portal's);
    a line that places nothing is at its page."""
    places = getattr(detail, "places", [])
    rule = KIND_RULES.get(places[0]["kind"], name) if name == "scripts" and places else name
    rule = rule if rule in RULE_INDEX else "scripts"
    found = {"ruleId": rule, "ruleIndex": RULE_INDEX[rule], "level": LEVELS[status],
             "message": {"text": "%s: %s" % (name, detail)},
             "locations": [location(place, base) for place in places] or
             [location({"url": page or base + START_PATH[1:]}, base)]}
    # Where the map gave the original, the bundle's own places go beside it.
    bundled = [location(dict(place, source=None), base) for place in places if place.get("source")]
    if bundled:
        found["relatedLocations"] = [dict(each, id=number) for number, each in
                                     enumerate(bundled, 1)]
    return found


def log(host, https, checks):
    """The SARIF log of the check's lines, as (name, status, detail, page)."""
    base = ("https://" if https else "http://") + host + "/"
    driver = {"name": "portal-check", "version": version(),
              "rules": [{"id": rule, "shortDescription": {"text": text}}
                        for rule, text in RULES]}
    return {"$schema": SCHEMA, "version": "2.1.0", "runs": [{
        "tool": {"driver": driver},
        "originalUriBaseIds": {"PORTAL": {"uri": base}},
        "properties": {"portal": host, "scheme": "https" if https else "http"},
        "results": [result(name, status, detail, page, base)
                    for name, status, detail, page in checks if status in LEVELS]}]}


def write(written, host, https, checks):
    """Writes the log to the open file written, and closes it."""
    with written:
        json.dump(log(host, https, checks), written, indent=2)
        written.write("\n")
