"""The stylesheets check: what Internet Explorer 11 drops of the portal's
stylesheets that changes the page's layout or colours.

It reads every stylesheet the page links (on any host) and every <style>,
and their @imports one level deep, as fetching.py loads them; stylesheets.js
beside this file judges them with css-tree against MDN's browser-compat-data
(Debian's node-css-tree and node-mdn-browser-compat-data) and says what it
found. The verdict is WARN at worst: the page still shows, only not as
designed. Where the page's code runs, a rule that matches no element of the
page after its load and its events (matching.py) is no loss.
"""

import node
from fetching import page_sheets, with_imports
from shared import judged_each

NODE_SECONDS = 120


def judge(sheets):
    """What stylesheets.js finds in each sheet that has a text."""
    readable = [sheet for sheet in sheets if sheet.text is not None]
    if not readable:
        return
    found = judged_each("stylesheets.js", [sheet.text for sheet in readable], NODE_SECONDS)
    for sheet, judged in zip(readable, found):
        sheet.judged = judged


def in_file(sheet, line, column):
    """The line and column (from 1) in the file of a place in a sheet (line
    and column from 1): a <style>'s count from the page."""
    return line + sheet.line - 1, column + (sheet.column if line == 1 else 0)


def named(sheet, found):
    return "%s (%d, %sat %d:%d)" % ((found["name"], found["count"],
                                     "first " if found["count"] > 1 else "")
                                    + in_file(sheet, found["line"], found["column"]))


def verdict(sheet):
    """The line for one stylesheet, or None when IE11 keeps all that matters."""
    if sheet.problem:
        return "WARN", sheet.problem
    if "error" in sheet.judged:
        return "WARN", "%s: css-tree cannot read it: %s" % (sheet.address, sheet.judged["error"])
    if sheet.judged["found"]:
        return "WARN", "%s: %s" % (sheet.address, ", ".join(named(sheet, found) for found
                                                            in sheet.judged["found"]))
    return None


def judged_sheets(listed):
    return [sheet for sheet in listed if sheet.judged and "error" not in sheet.judged]


def of_elements(listed, matching):
    """Leaves out of what was found in each sheet the places whose rule
    matches no element of the page, as the page's run says (each place stays
    where it says nothing); how many rules that left out."""
    asked = {text for sheet in judged_sheets(listed) for text in sheet.judged["selectors"]}
    matched = matching.matched(sorted(asked))
    if matched is None:
        return 0
    return sum(kept_only(sheet.judged, matched) for sheet in judged_sheets(listed))


def kept_only(judged, matched):
    """Keeps of judged["found"] the places of rules that match an element
    (matched: {selector: whether it does}); how many rules it left out."""
    def kept(place):
        return place[2] is None or matched.get(judged["selectors"][place[2]], True)
    found, left_out = [], set()
    for kind in judged["found"]:
        places = [place for place in kind["places"] if kept(place)]
        left_out.update(place[2] for place in kind["places"] if not kept(place))
        if places:
            found.append(dict(kind, places=places, count=len(places), line=places[0][0],
                              column=places[0][1]))
    judged["found"] = sorted(found, key=lambda kind: (kind["line"], kind["column"]))
    return len(left_out)


def counted(number, thing):
    return "%d %s%s" % (number, thing, "" if number == 1 else "s")


def check_stylesheets(page, parsed, timeout, matching=None):
    """One WARN line per stylesheet of which IE11 drops what sets layout or
    colour of the page's elements (matching, where given, says which rules
    match one), or that cannot be had; else one PASS line."""
    try:
        return judged_lines(page, parsed, timeout, matching)
    finally:
        if matching:
            matching.hand([])  # the run waits no longer where nothing was asked


def judged_lines(page, parsed, timeout, matching):
    sheets = page_sheets(page, parsed, timeout)
    try:
        judge(sheets)
        listed = with_imports(sheets, page, parsed, timeout)
        judge([sheet for sheet in listed if sheet.judged is None])
    except (node.NodeError, ValueError) as error:
        return [("WARN", "the stylesheets were not judged: %s" % error)]
    left_out = of_elements(listed, matching) if matching else 0
    lines = [line for line in map(verdict, listed) if line]
    if lines:
        return lines
    if not listed:
        return [("PASS", "the page has no stylesheets")]
    rules = sum(sheet.judged["rules"] for sheet in listed)
    unmatched = (" of the page's elements; what it drops is of %s that match none"
                 % counted(left_out, "rule")) if left_out else ""
    return [("PASS", "%s, %s: IE11 keeps all that sets layout and colour%s"
             % (counted(len(listed), "stylesheet"), counted(rules, "rule"), unmatched))]
