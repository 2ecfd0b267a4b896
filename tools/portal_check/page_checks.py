"""The checks of the portal's pages as the control gets them, one verdict
each: the start page's answer (reachable, challenge, content type), the mode
its HTML asks for, what it loads over plain http, and the statistics page."""
from urllib.parse import urlsplit

from fetching import STATS_PATH, statistics_page
from lines import listing, said
from web import NETWORK_ERRORS, USER_AGENT, NoAddress, NotReached, base_of, listed, resolve, why


def check_reachable(page, seconds):
    hops = listed(page.redirects)
    origin = urlsplit(page.redirects[0][1] if page.redirects else page.url)
    for _, source, target in page.redirects:
        if urlsplit(target).hostname != origin.hostname:
            return "FAIL", "redirected to another host%s" % hops
        if urlsplit(source).scheme == "https" and urlsplit(target).scheme == "http":
            return "FAIL", "redirected from https to http%s" % hops
    answered = "%s answered %d %s in %.1f s%s" % (origin.geturl(), page.status, page.reason,
                                                   seconds, hops)
    if page.status in (403, 429, 503):
        return "PASS", answered + " (see challenge)"
    if page.status != 200:
        return "FAIL", answered
    if any(urlsplit(target).scheme == "https" for _, _, target in page.redirects):
        return "WARN", answered + ": the portal moves the launcher to https; build with " \
            "LAUNCHER_PORTAL_SCHEME=https"
    return "PASS", answered


def check_challenge(page):
    if page.status in (403, 429, 503):
        return "FAIL", ("the portal refuses the launcher's request with %d %s: bot protection or "
                        "a geo block; let the user agent '%s' through" % (page.status, page.reason,
                                                                          USER_AGENT))
    return "PASS", "no refusal (%d)" % page.status


def asked_mode(value):
    """'edge' or '11' when an X-UA-Compatible value gives IE11's own mode."""
    for part in value.replace(";", ",").split(","):
        if part.strip().lower() in ("ie=edge", "ie=11"):
            return part.strip().lower()[3:]
    return None


def check_document_mode(page, parsed):
    header = page.headers.get("X-UA-Compatible")
    # A meta tag where Internet Explorer reads it wins over the header.
    if parsed.mode_meta and parsed.mode_meta[1] is None:
        where, value = "the X-UA-Compatible meta tag", parsed.mode_meta[0]
    elif header is not None:
        where, value = "the X-UA-Compatible header", header
    elif parsed.mode_meta:
        return "FAIL", ("the page renders in IE7 mode: its X-UA-Compatible meta tag comes after "
                        "<%s>, and only title and meta may precede it" % parsed.mode_meta[1])
    else:
        return "FAIL", ("the page renders in IE7 mode: neither an X-UA-Compatible: IE=edge header "
                        "nor that meta tag at the top of its head")
    mode = asked_mode(value)
    if mode is None:
        return "FAIL", ("the page renders in an old mode (IE7 or the one named): %s says '%s', not "
                        "IE=edge or IE=11" % (where, value))
    said = "%s asks for IE=%s" % (where, "11, which on IE11 is what IE=edge gives" if mode == "11"
                                  else "edge")
    if where.endswith("meta tag") and parsed.conditional_comment:
        if header is not None and asked_mode(header):
            return "PASS", ("%s; conditional comments before it may make IE ignore it, and the "
                            "header, IE=%s, holds then" % (said, asked_mode(header)))
        return "WARN", ("%s, but conditional comments come before it, and IE may then ignore it "
                        "and render in IE7 mode; send the X-UA-Compatible: IE=edge header too, "
                        "or move the comments below the tag" % said)
    return "PASS", said


def as_written(base, address):
    """address against base, or as the page wrote it where it is no address."""
    try:
        return resolve(base, address)
    except NoAddress:
        return address.strip()


def check_mixed_content(page, parsed):
    """With https, what the page loads over plain http: the control blocks it,
    or stops the player with a security prompt."""
    if urlsplit(page.url).scheme != "https":
        return "WARN", "not checked: the page itself came over http (see reachable)"
    base = base_of(page.url, parsed.base)
    plain = [said("%s %s", what, url) for what, url in
             ((what, as_written(base, address)) for what, address in parsed.parts)
             if url.lower().startswith("http:")]
    if plain:
        return "FAIL", said("the page loads over http, which the control blocks or asks the "
                            "player about: %s", listing(plain, "loaded over http"))
    return "PASS", ("none of the %d scripts, stylesheets, frames, images and objects of the "
                    "page loads over http" % len(parsed.parts))


def check_statistics_page(base, timeout, portal):
    """portal: the start page's answer, whose space bounds where the
    statistics page and its redirects may lead."""
    try:
        page = statistics_page(base, timeout, portal)
    except NotReached as error:
        return "WARN", "%s is not fetched: %s" % (base + STATS_PATH, error)
    except NETWORK_ERRORS as error:
        return "WARN", why(error, urlsplit(base).netloc, timeout)
    if page.status != 200:
        return "WARN", ("%s answered %d %s (the player's browser opens it after CLOSE)"
                        % (base + STATS_PATH, page.status, page.reason))
    return "PASS", "%s answered 200" % (base + STATS_PATH)


def check_content_type(page, parsed):
    declared = page.headers.get("Content-Type")
    if not declared or page.headers.get_content_type() != "text/html":
        return "WARN", "served as %s, not text/html" % (declared or "no type")
    if page.headers.get_content_charset():
        return "PASS", declared
    if parsed.charset_meta:
        return "PASS", "%s, the charset in a meta tag" % declared
    return "WARN", "%s without a charset, in the header or a meta tag" % declared
