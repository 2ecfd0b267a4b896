"""The stylesheets check: what Internet Explorer 11 drops of the portal's
stylesheets that changes the page's layout or colours.

It reads every stylesheet the page links (on any host) and every <style>, and
their @imports one level deep; stylesheets.js beside this file judges them
with css-tree against MDN's browser-compat-data (Debian's node-css-tree and
node-mdn-browser-compat-data) and says what it found. The verdict is WARN at
worst: the page still shows, only not as designed.
"""
import json
import re
from urllib.parse import urlsplit

import node
from web import NETWORK_ERRORS, NoAddress, base_of, fetch, not_fetched, resolve, why

# IE9 and later ask for a stylesheet with text/css alone and, in their own
# document modes, apply none that comes as another type (Microsoft's
# IEInternals, "IE9 Standards Mode Accepts only text/css for stylesheets",
# and "MIME types and stylesheets").
CSS_ACCEPT = "text/css"

# Far more than any framework's full build (Bootstrap 5's is 230 KB). css-tree's
# tree takes some 50 times a sheet's size in memory, and node's heap is limited.
MAX_CHARACTERS = 4000000
NODE_SECONDS = 120


class Sheet:
    """One stylesheet: where it comes from, its text (None when it cannot be
    had, and problem says why), where that starts in its file (a <style> in
    the page: line from 1, column from 0) and what stylesheets.js found."""

    def __init__(self, address, text=None, line=1, column=0, problem=None):
        self.address, self.text, self.line, self.column = address, text, line, column
        self.problem, self.judged = problem, None


def decode(answer):
    """The stylesheet's text in the charset its header names, else the one
    its @charset rule names, else UTF-8; what does not decode becomes U+FFFD
    and an unknown charset reads as UTF-8, so that any bytes give a text."""
    charset = answer.headers.get_content_charset()
    if not charset:
        rule = re.match(rb'@charset "([^"]{1,40})";', answer.body)
        charset = rule.group(1).decode("ascii", "replace") if rule else "utf-8"
    try:
        text = answer.body.decode(charset, "replace")
    except LookupError:
        text = answer.body.decode("utf-8", "replace")
    return text.lstrip("\ufeff")


def load(address, url, timeout, portal):
    """The stylesheet at url as IE11 takes it, or its problem; portal is the
    start page's answer, whose address bounds where it may come from."""
    try:
        answer = fetch(url, CSS_ACCEPT, timeout, portal)
    except NETWORK_ERRORS as error:
        reason = why(error, urlsplit(url).netloc, timeout)
        return Sheet(address, problem="%s %s: %s" % (address, not_fetched(error), reason))
    if answer.status != 200:
        return Sheet(address, problem="%s cannot be fetched: %d %s" % (address, answer.status,
                                                                        answer.reason))
    served = answer.headers.get("Content-Type")
    if answer.headers.get_content_type() != "text/css" or not served:
        return Sheet(address, problem="%s is served as %s, and IE11 applies a stylesheet only "
                     "as text/css" % (address, served or "no type"))
    return sized(Sheet(address, decode(answer)))


def load_at(base, reference, timeout, portal, importer=None):
    """The stylesheet that reference names against base, or that it is no
    address; importer: the address of the stylesheet that @imports it."""
    named = (lambda what: "%s (imported by %s)" % (what, importer)) if importer else str
    try:
        url = resolve(base, reference)
    except NoAddress as error:
        return Sheet(named(reference.strip()), problem=str(error))
    return load(named(url), url, timeout, portal)


def sized(sheet):
    if len(sheet.text) > MAX_CHARACTERS:
        sheet.problem = "%s is %.1f MB; stylesheets past %d MB are not judged" % (
            sheet.address, len(sheet.text) / 1e6, MAX_CHARACTERS // 1000000)
        sheet.text = None
    return sheet


def page_sheets(page, parsed, timeout):
    """The page's stylesheets in its order: <link rel="stylesheet"> and <style>."""
    base = base_of(page.url, parsed.base)
    sheets = []
    for href, text, line, column in parsed.stylesheets:
        if href is None:
            sheets.append(sized(Sheet("%s (inline style)" % page.url, text, line or 1, column)))
        else:
            sheets.append(load_at(base, href, timeout, page))
    return sheets


def judge(sheets):
    """What stylesheets.js finds in each sheet that has a text."""
    readable = [sheet for sheet in sheets if sheet.text is not None]
    if not readable:
        return
    found = json.loads(node.run("stylesheets.js", [sheet.text for sheet in readable],
                                NODE_SECONDS))
    for sheet, judged in zip(readable, found):
        sheet.judged = judged


def with_imports(sheets, page, parsed, timeout):
    """The sheets, each followed by those it @imports (their own imports are
    not read)."""
    base = base_of(page.url, parsed.base)
    listed = []
    for sheet in sheets:
        listed.append(sheet)
        importer = base if sheet.address.endswith("(inline style)") else sheet.address
        for target in (sheet.judged or {}).get("imports", []):
            listed.append(load_at(importer, target["url"], timeout, page, sheet.address))
    return listed


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


def counted(number, thing):
    return "%d %s%s" % (number, thing, "" if number == 1 else "s")


def check_stylesheets(page, parsed, timeout):
    """One WARN line per stylesheet of which IE11 drops what sets layout or
    colour, or that cannot be had; else one PASS line."""
    sheets = page_sheets(page, parsed, timeout)
    try:
        judge(sheets)
        listed = with_imports(sheets, page, parsed, timeout)
        judge([sheet for sheet in listed if sheet.judged is None])
    except (node.NodeError, ValueError) as error:
        return [("WARN", "the stylesheets were not judged: %s" % error)]
    lines = [line for line in map(verdict, listed) if line]
    if lines:
        return lines
    if not listed:
        return [("PASS", "the page has no stylesheets")]
    rules = sum(sheet.judged["rules"] for sheet in listed)
    return [("PASS", "%s, %s: IE11 keeps all that sets layout and colour"
             % (counted(len(listed), "stylesheet"), counted(rules, "rule")))]
