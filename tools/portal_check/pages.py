"""The pages check: every page of the portal's origin that a player can reach
from the start page in the control, visited breadth first up to a bound,
each given the checks of a page. A link on the portal navigates the control
itself (it has no event sink), so the article behind "Read more" runs in the
same engine as the start page.

Where the player can go comes from the page's run (links.js: the links of
its document after the load and the events, and what its handlers navigated
to), or from its HTML where its code did not run. Links to other hosts are
named, never fetched; every redirect of a followed link stays on the
portal's origin and in its address space (web.py). Pages are checked two at
a time, one for each core, and what a page's checks share (the facts of
IE11, the box, the probes) is made once per process (node.py); of a page
judged only its lines are kept."""
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from urllib.parse import urlsplit, urlunsplit

from lines import MOST_LINE, joined, listing, said, shortened
from matching import Matching
from page import MAX_LINKS, parse_page
from page_checks import check_content_type, check_document_mode, check_mixed_content
from scripts import check_scripts
from stylesheets import check_stylesheets
from web import NETWORK_ERRORS, PAGE_ACCEPT, NoAddress, base_of, fetch, listed, resolve, why

# The default bound: a launcher portal's pages a player reaches in a few
# clicks (news, an article, patch notes, the shop), at four to five times the
# time of the start page alone (docs/portal-check.md, "The portal's other
# pages").
DEFAULT_PAGES = 10
# Pages checked at once: one for each of the machine's two cores; each
# page's runs are already two node processes.
AT_ONCE = 2
# A page's address as a line names it, cut past this.
MOST_PATH = 200
# Targets that open a link in the control's own window.
SAME_WINDOW = ("", "_self", "_parent", "_top")
# Frames of one page checked, frames within them included, and how deep
# frames within frames are followed: a portal's page frames a news feed or
# a store widget, not a tree of them.
MAX_FRAMES = 10
MAX_DEPTH = 2
# Frames' addresses taken of a page's run (links.js writes as many): a line
# page code forged may hold more.
MAX_RUN_FRAMES = 50


def aside(check, *args):
    """Starts check(*args) on a thread of its own; what it gives, when called
    for (its exception raised then, as if it had run here). A daemon thread:
    a check ended by a signal does not wait for it."""
    outcome = {}

    def work():
        try:
            outcome["result"] = check(*args)
        except BaseException as error:  # handed to the caller, who raises it
            outcome["error"] = error
    thread = threading.Thread(target=work, daemon=True)
    thread.start()

    def result():
        thread.join()
        if "error" in outcome:
            raise outcome["error"]
        return outcome["result"]
    return result


def judged(page, https, timeout, reached, legacy=None):
    """The checks of a page that answered 200, {name: verdict}: document
    mode, scripts, stylesheets, mixed content (https) and content type.
    reached, a dict, gets where a player can go from it (links and
    navigations) and its frames. A frame passes legacy, the top page's
    mode (IE11 runs a frame in it, whatever the frame asks): no mode of
    its own."""
    parsed = parse_page(page)
    # The stylesheets check asks the scripts check's page run which rules
    # match an element of the page.
    matching = Matching()
    stylesheets = aside(check_stylesheets, page, parsed, timeout, matching)
    checks = {}
    if legacy is None:
        checks["document-mode"] = check_document_mode(page, parsed)
        legacy = checks["document-mode"][0] == "FAIL"
    frames = frame_sources(page, parsed)
    try:
        checks["scripts"] = check_scripts(page, parsed, timeout, legacy=legacy,
                                          reached=reached, matching=matching)
    finally:
        matching.close()
    # Those of its HTML first, then those its code added as it ran (each
    # checked once: check_frames); as many as the run gives at most.
    reached["frames"] = frames + reached.get("frames", [])[:MAX_RUN_FRAMES]
    if https:
        checks["mixed-content"] = check_mixed_content(page, parsed)
    checks["content-type"] = check_content_type(page, parsed)
    if "links" not in reached:  # its code did not run: what its HTML links to
        reached.update(links=static_links(page, parsed), navigations=[])
    checks["stylesheets"] = stylesheets()
    return checks


def static_links(page, parsed):
    """The page's a and area links that open in the control, from its HTML."""
    base = base_of(page.url, parsed.base)
    found = []
    for href, target, download in parsed.links:
        target = parsed.base_target if target is None else target
        if download or (target or "").strip().lower() not in SAME_WINDOW:
            continue
        try:
            found.append(resolve(base, href))
        except NoAddress:
            continue
    return found


def frame_sources(page, parsed):
    """The addresses of the page's frames and iframes, from its HTML."""
    base = base_of(page.url, parsed.base)
    found = []
    for what, source in parsed.parts:
        try:
            found += [resolve(base, source)] if what == "frame" else []
        except NoAddress:
            continue
    return found


def origin_of(url):
    parts = urlsplit(url)
    return parts.scheme.lower(), (parts.hostname or "").lower(), \
        parts.port or (443 if parts.scheme.lower() == "https" else 80)


def page_key(url):
    """The page an address names: without its fragment, which stays on it."""
    parts = urlsplit(url)
    return urlunsplit((parts.scheme, parts.netloc, parts.path or "/", parts.query, ""))


def path_of(url):
    """How a line names a page of the portal: its path and query."""
    parts = urlsplit(url)
    return shortened((parts.path or "/") + ("?" + parts.query if parts.query else ""), MOST_PATH)


def keyed(address):
    """The page an address names and its origin, None for one no page of
    the check can be: not http(s), too long to name, or a port that is no
    number (from a forged line)."""
    try:
        key = page_key(address)
        origin = origin_of(key)
    except ValueError:
        return None
    return None if len(key) > MOST_LINE or origin[0] not in ("http", "https") else (key, origin)


class OffOrigin(NoAddress):
    """A redirect of a followed link that leaves the portal's origin."""


def rows_of(checks, names, unloaded):
    """The lines of the checks named, in that order, as (name, status, detail),
    each detail at most MOST_LINE characters; unloaded for one not made."""
    rows = []
    for name in names:
        verdict = checks.get(name, unloaded)
        rows += [(name, status, shortened(detail, MOST_LINE)) for status, detail in
                 (verdict if isinstance(verdict, list) else [verdict])]
    return rows


def page_names(https):
    return ["document-mode", "scripts", "stylesheets"] + \
        (["mixed-content"] if https else []) + ["content-type"]


def fetched(url, portal, timeout):
    """A page of the portal's origin, fetched as a further page is: its
    reachable line, and the answer to judge (None when there is none)."""
    origin = origin_of(portal.url)

    def held_to(target):
        if origin_of(target) != origin:
            raise OffOrigin("a redirect leaves the portal's origin, not followed")
    started = time.monotonic()
    try:
        page = fetch(url, PAGE_ACCEPT, timeout, portal, held_to)
    except NETWORK_ERRORS as error:
        reason = why(error, urlsplit(url).netloc, timeout) + listed(getattr(error, "redirects", []))
        return ("reachable", "FAIL", shortened(said("%s", reason), MOST_LINE)), None
    answered = said("answered %d %s in %.1f s%s", page.status, page.reason,
                    time.monotonic() - started, listed(page.redirects))
    if page.status != 200:
        return ("reachable", "FAIL", answered), None
    if page.headers.get_content_type() != "text/html":
        return ("reachable", "PASS", said("%s, as %s: no page to judge", answered,
                                          page.headers.get("Content-Type") or "no type")), None
    return ("reachable", "PASS", answered), page


def check_page(url, portal, https, timeout):
    """The lines of one further page, where a player can go from it, and
    its frames with their lines."""
    row, page = fetched(url, portal, timeout)
    if page is None:
        return [row], [], []
    reached = {}
    checks = judged(page, https, timeout, reached)
    rows = [row] + rows_of(checks, page_names(https), None)
    line, frames = check_frames(page, reached["frames"], portal, https, timeout,
                                checks["document-mode"][0] == "FAIL")
    return rows + ([line] if line else []), where_to(reached), frames


class FrameUrl(str):
    """A frame's address, with the address of the page that holds it."""

    def __new__(cls, url, parent):
        made = super().__new__(cls, url)
        made.parent = parent
        return made


def named(url):
    """How a line names a page of the portal, a frame with its page."""
    parent = getattr(url, "parent", None)
    return path_of(url) + (" (frame of %s)" % path_of(parent) if parent else "")


def check_frames(top, sources, portal, https, timeout, legacy):
    """The frames of the page top, breadth first from its own (sources), up
    to MAX_FRAMES and MAX_DEPTH: its frames line (None without frames), and
    each frame of the portal's origin checked, [(FrameUrl, rows)]."""
    seen, checked, elsewhere, left = {page_key(top.url)}, [], [], []
    queue = [(source, top.url, 1) for source in sources]
    while queue:
        source, parent, depth = queue.pop(0)
        key, origin = keyed(source) or (None, None)
        if key is None or key in seen:
            continue
        seen.add(key)
        if origin != origin_of(portal.url):
            elsewhere.append(key)
        elif len(checked) == MAX_FRAMES or depth > MAX_DEPTH:
            left.append(key)
        else:
            rows, inner = check_frame(key, portal, https, timeout, legacy)
            checked.append((FrameUrl(key, parent), rows))
            queue += [(source, key, depth + 1) for source in inner]
    return frames_line(checked, elsewhere, left), checked


def check_frame(url, portal, https, timeout, legacy):
    """The lines of one frame, judged in the top page's mode, and its own frames."""
    row, page = fetched(url, portal, timeout)
    if page is None:
        return [row], []
    reached = {}
    checks = judged(page, https, timeout, reached, legacy)
    return [row] + rows_of(checks, page_names(https)[1:], None), reached["frames"]


def frames_line(checked, elsewhere, left):
    """A page's frames line, None when it has no frames."""
    if not checked and not elsewhere and not left:
        return None
    paths = [path_of(url) for url, _ in checked]
    head = said("%d frame%s of the portal checked", len(paths), "" if len(paths) == 1 else "s")
    parts = [joined([head, paths and listing(paths, "frames checked")], ": ")]
    if elsewhere:
        parts.append(said("frames of other hosts, not fetched: %s",
                          listing(elsewhere, "frames of other hosts, not fetched")))
    if left:
        parts.append(said("past %d frames or %d deep, not checked: %s", MAX_FRAMES, MAX_DEPTH,
                          listing([path_of(url) for url in left], "frames past the bound")))
    return "frames", "WARN" if left else "PASS", shortened(joined(parts), MOST_LINE)


def where_to(reached):
    """Where a page leads, as many as the run gives at most: a line page
    code forged may hold more."""
    return reached.get("links", [])[:MAX_LINKS] + reached.get("navigations", [])[:MAX_LINKS]


class Visit:
    """What the pages check found beyond the start page: checked, each page
    with its lines [(url, rows)]; elsewhere, the links off the portal's
    origin; left, the pages past the bound; each in the order found;
    framed, each page's frames with their lines."""

    def __init__(self, portal):
        self.origin = origin_of(portal.url)
        self.seen = {page_key(portal.url)} | {page_key(source) for _, source, _ in
                                              portal.redirects}
        self.found, self.elsewhere, self.checked = [], [], []
        self.framed = {}

    def entries(self):
        """Each page checked with its lines, followed by its frames'."""
        return [entry for url, rows in self.checked
                for entry in [(url, rows)] + self.framed.get(url, [])]

    def take(self, addresses):
        for address in addresses:
            try:
                key = page_key(address)
                origin = origin_of(key)
            except ValueError:  # a port that is no number, from a forged line
                continue
            if key in self.seen or len(key) > MOST_LINE or origin[0] not in ("http", "https"):
                continue
            self.seen.add(key)
            (self.found if origin == self.origin else self.elsewhere).append(key)


def visit(portal, reached, https, timeout, bound, progress=None):
    """The portal's further pages, breadth first from the start page's links
    (reached), up to bound pages with the start page: a Visit. progress(url,
    done, found) is told of each page as its check starts."""
    pages = Visit(portal)
    pages.take(where_to(reached))
    futures = []
    with ThreadPoolExecutor(AT_ONCE) as pool:
        while True:
            wanted = min(len(pages.found), bound - 1)
            # The pages are taken in the order found, so that what they add
            # comes in breadth-first order whichever check ends first.
            while len(futures) < wanted and len(futures) - len(pages.checked) < AT_ONCE:
                url = pages.found[len(futures)]
                if progress:
                    progress(url, len(pages.checked), len(pages.found) + 1)
                futures.append(pool.submit(check_page, url, portal, https, timeout))
            if len(pages.checked) == len(futures):
                return pages
            rows, links, frames = futures[len(pages.checked)].result()
            pages.framed[pages.found[len(pages.checked)]] = frames
            pages.checked.append((pages.found[len(pages.checked)], rows))
            pages.take(links)


def pages_line(pages, bound):
    """The pages check's line, None when the start page leads nowhere else."""
    left = pages.found[bound - 1:]
    if not pages.checked and not pages.elsewhere:
        return None
    checked = [path_of(url) for url, _ in pages.checked]
    head = said("%d page%s of the portal checked beside the start page", len(checked),
                "" if len(checked) == 1 else "s")
    parts = [joined([head, checked and listing(checked, "pages checked")], ": ")]
    if pages.elsewhere:
        parts.append(said("links to other hosts, not followed: %s",
                          listing(pages.elsewhere, "links to other hosts, not followed")))
    if left:
        parts.append(said("past --pages %d, not checked: %s", bound,
                          listing([path_of(url) for url in left], "pages past the bound")))
    return "pages", "WARN" if left else "PASS", shortened(joined(parts), MOST_LINE)
