"""What the check fetches for the portal, each fetch under web.py's rules: the
start and statistics pages, the scripts the engine runs (the page's own and
those it adds) and the stylesheets with their @imports. What cannot be had
comes back as the words that say why, for the checks to judge."""
import re
from urllib.parse import urlsplit

from lines import said
from web import NETWORK_ERRORS, PAGE_ACCEPT, NoAddress, base_of, fetch, not_fetched, resolve, why

START_PATH = "/?mini=2&gameid=220"
STATS_PATH = "/stats/varnholt.html"

# IE9 and later ask for a stylesheet with text/css alone and, in their own
# document modes, apply none that comes as another type (Microsoft's
# IEInternals, "IE9 Standards Mode Accepts only text/css for stylesheets",
# and "MIME types and stylesheets").
CSS_ACCEPT = "text/css"

# Far more than any framework's full build (Bootstrap 5's is 230 KB). css-tree's
# tree takes some 50 times a sheet's size in memory, and node's heap is limited.
MAX_CHARACTERS = 4000000

# A source map is some three times its script's size; a map past this is
# not read (node's heap holds its decoded mappings, some 50 bytes each).
MAX_MAP = 16 << 20


def start_page(base, timeout):
    """The start page's answer; its first hop gives the space that the
    page's other fetches are held to."""
    return fetch(base + START_PATH, PAGE_ACCEPT, timeout)


def statistics_page(base, timeout, portal):
    """The statistics page's answer; portal is the start page's, whose space
    bounds where it and its redirects may lead."""
    return fetch(base + STATS_PATH, PAGE_ACCEPT, timeout, portal)


def fetch_script(url, timeout, portal):
    """(text, None) for a script the engine would run from url, or (None, the
    line that says why it cannot be fetched); portal is the start page's
    answer, whose address bounds where the page's scripts may come from."""
    try:
        script = fetch(url, "*/*", timeout, portal)
    except NoAddress as error:
        return None, said("%s cannot be fetched: %s", url, str(error))
    except NETWORK_ERRORS as error:
        return None, said("%s %s: %s", url, not_fetched(error),
                          why(error, urlsplit(url).netloc, timeout))
    if script.status != 200:
        return None, said("%s cannot be fetched: %d %s", url, script.status, script.reason)
    return Script(script.text(), script.headers.get("SourceMap") or
                  script.headers.get("X-SourceMap")), None


class Script(str):
    """A script's text, with the source map its answer's header names (None
    when it names none)."""

    def __new__(cls, text, map_header=None):
        script = super().__new__(cls, text)
        script.map_header = map_header
        return script


def fetch_map(url, timeout, portal):
    """(text, None) for the source map at url, or (None, why it cannot be
    had); portal is the start page's answer, whose address bounds where the
    page's maps may come from as its scripts."""
    try:
        answer = fetch(url, "*/*", timeout, portal)
    except NoAddress as error:
        return None, said("cannot be fetched: %s", str(error))
    except NETWORK_ERRORS as error:
        return None, said("%s: %s", not_fetched(error), why(error, urlsplit(url).netloc, timeout))
    if answer.status != 200:
        return None, said("cannot be fetched: %d %s", answer.status, answer.reason)
    if len(answer.body) > MAX_MAP:
        return None, "is %.1f MB; maps past %d MB are not read" % (len(answer.body) / 1e6,
                                                                  MAX_MAP >> 20)
    return answer.body.decode("utf-8", "replace").lstrip("\ufeff"), None


def fetch_scripts(page, base_href, scripts, timeout):
    """([(address, source, line, column, url)], [problem]): of the page's
    scripts that the engine runs, as page.py lists them, the inline ones (url
    None) with where they start in the page, the others fetched, and those
    that cannot be fetched."""
    sources, problems = [], []
    base = base_of(page.url, base_href)
    for _, src, text, line, column in scripts:
        if src is None:
            sources.append((said("%s (inline script)", page.url), text, line or 1, column, None))
            continue
        url = src.strip()
        try:
            url = resolve(base, url)
        except NoAddress as error:
            problems.append(said("%s cannot be fetched: %s", url, str(error)))
            continue
        text, problem = fetch_script(url, timeout, page)
        if problem:
            problems.append(problem)
        else:
            sources.append((url, text, 1, 0, url))
    return sources, problems


def fetch_added(page, address, timeout):
    """fetch_script() for a script the page added at address."""
    # The run sends the address as jsdom resolved it; one forged by page
    # code may be anything.
    try:
        url = resolve(page.url, address)
    except NoAddress as error:
        return None, said("%s cannot be fetched: %s", address, str(error))
    return fetch_script(url, timeout, page)


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


def with_imports(sheets, page, parsed, timeout):
    """The sheets, each followed by those it @imports as stylesheets.js
    found them (their own imports are not read)."""
    base = base_of(page.url, parsed.base)
    listed = []
    for sheet in sheets:
        listed.append(sheet)
        importer = base if sheet.address.endswith("(inline style)") else sheet.address
        for target in (sheet.judged or {}).get("imports", []):
            listed.append(load_at(importer, target["url"], timeout, page, sheet.address))
    return listed
