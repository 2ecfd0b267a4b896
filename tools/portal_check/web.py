"""One fetch as the launcher's browser control makes it: its request headers,
its redirects, each hop held to the addresses the portal's page may reach
(reach.py), and what a player's network would say when nothing comes."""
import http.client
import socket
import ssl
import time
import zlib
from urllib.parse import quote, urljoin, urlsplit

import reach

MAX_REDIRECTS = 10
# What the check reads of one answer, as sent and as unpacked: far past any
# portal's page or script (a 20 MB script already takes node's heap near its
# limit), and a body without end or a small gzip that unpacks without end
# stops here instead of taking the machine's memory.
MAX_BODY = 32 << 20
CHUNK = 1 << 16

# What the control sends. It is Internet Explorer 11's engine (Trident/7.0)
# presenting itself as Internet Explorer 7, as every program that hosts it
# without a browser-emulation registry entry gets; the launcher is a 32-bit
# program, hence WOW64 on 64-bit Windows 10 (the tokens are those of
# Microsoft's "Understanding user-agent strings"). The long Accept line is the
# one the legacy modes send for a top-level navigation (Microsoft's
# IEInternals, "IE and the Accept Header"); scripts are asked for with */*.
USER_AGENT = ("Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 10.0; WOW64; Trident/7.0; "
              ".NET4.0C; .NET4.0E)")
PAGE_ACCEPT = ("image/jpeg, application/x-ms-application, image/gif, application/xaml+xml, "
               "image/pjpeg, application/x-ms-xbap, */*")

NETWORK_ERRORS = (OSError, http.client.HTTPException)
# A browser sends what HTTP cannot carry in an address (characters past
# ASCII, spaces) percent-encoded as UTF-8, and the rest as it stands.
SENT_AS_IS = "".join(chr(code) for code in range(0x21, 0x7F))


class NoAddress(http.client.HTTPException):
    """What the page gives as an address is none: an unclosed [ of an IPv6
    host, a port that is no number."""


def resolve(base, reference):
    """reference as an absolute address against base; NoAddress where it is none."""
    try:
        joined = urljoin(base, reference.strip())
        urlsplit(joined).port  # what is no address fails here, if not before
    except ValueError as error:
        raise NoAddress("%s is no address (%s)" % (reference.strip(), error)) from None
    return joined


def base_of(url, base_href):
    """Where a page's relative addresses start: its <base href>, which a
    browser ignores where it is no address."""
    try:
        return resolve(url, base_href)
    except NoAddress:
        return url


class TooLarge(http.client.HTTPException):
    """An answer past MAX_BODY: how it came (None when as sent, else its
    Content-Encoding)."""

    def __init__(self, encoding=None):
        super().__init__("larger than %d MiB" % (MAX_BODY >> 20))
        self.encoding = encoding


class NotReached(http.client.HTTPException):
    """A hop of a fetch that the portal's own space does not reach: url, the
    space its name gave, the portal's, and whether a redirect led there."""

    def __init__(self, url, space, portal, redirected):
        where = ("redirects to a %s address, %s" % (space, url) if redirected
                 else "'s page names a %s address" % space)
        super().__init__("a %s portal%s%s (%s)" % (portal, " " if redirected else "", where,
                                                  reach.ASKED[space]))
        self.url, self.space, self.portal = url, space, portal


def not_fetched(error):
    """How a failed fetch's line puts it: the check refused or it failed."""
    return "is not fetched" if isinstance(error, NotReached) else "cannot be fetched"


class Answer:
    """One fetch's answer; address is where its last hop connected, as
    (family, type, protocol, sockaddr), and space the portal's space that its
    hops were held to (for the start page, the space of its first hop)."""

    def __init__(self, url, status, reason, headers, body, redirects, address=None, space=None):
        self.url, self.status, self.reason = url, status, reason
        self.headers, self.body, self.redirects = headers, body, redirects
        self.address, self.space = address, space

    def text(self):
        return self.body.decode(self.headers.get_content_charset() or "utf-8", "replace")


def addresses_of(url):
    """The addresses url's host gives, each (family, type, protocol,
    sockaddr), looked up once: a name may answer otherwise when asked again.
    Any form of an address (127.1, 2130706433, 0x7f.1) comes out as the one
    it reaches."""
    parts = urlsplit(url)
    if parts.scheme not in ("http", "https"):
        raise http.client.HTTPException("not an http or https address")
    try:
        found = socket.getaddrinfo(parts.hostname or "", parts.port or
                                   (443 if parts.scheme == "https" else 80),
                                   type=socket.SOCK_STREAM)
    except UnicodeError:  # a label the IDNA codec refuses: no name a resolver holds
        raise socket.gaierror(socket.EAI_NONAME, "Name or service not known") from None
    return [info[:3] + (info[4],) for info in found]


def held(url, addresses, portal, redirected):
    """NotReached where any of the addresses lies in a space that the
    portal's space does not reach."""
    for address in addresses:
        space = reach.space_of(address[3][0])
        if not reach.reaches(portal, space):
            raise NotReached(url, space, portal, redirected)


def connect(addresses, timeout):
    """A socket connected to the first of the addresses that takes it, and
    that address."""
    failed = OSError("no address")
    for address in addresses:
        family, kind, protocol, sockaddr = address
        sock = socket.socket(family, kind, protocol)
        try:
            sock.settimeout(timeout)
            sock.connect(sockaddr)
            return sock, address
        except OSError as error:
            sock.close()
            failed = error
    raise failed


def get(url, accept, timeout, addresses):
    """One GET as the control makes it, connected to the first of the
    addresses that takes it (for https, the certificate is still checked
    against the host's name, and the name is sent in SNI): (status, reason,
    headers, body, the address connected to). Raises OSError (TimeoutError
    past the time limit), TooLarge past MAX_BODY, or HTTPException when no
    answer comes."""
    parts = urlsplit(url)
    if parts.scheme == "https":
        connection = http.client.HTTPSConnection(parts.netloc, timeout=timeout,
                                                 context=ssl.create_default_context())
    else:
        connection = http.client.HTTPConnection(parts.netloc, timeout=timeout)
    reached = []

    def pinned(_, timeout, *rest):
        sock, address = connect(addresses, timeout)
        reached.append(address)
        return sock
    # http.client looks the host up again in its own connect(); it is given
    # the addresses that were checked instead.
    connection._create_connection = pinned
    try:
        target = quote((parts.path or "/") + ("?" + parts.query if parts.query else ""),
                       safe=SENT_AS_IS)
        connection.request("GET", target,
                           headers={"User-Agent": USER_AGENT, "Accept": accept,
                                    "Accept-Language": "en-US", "Accept-Encoding": "gzip, deflate"})
        response = connection.getresponse()
        body = read_body(response, time.monotonic() + timeout)
    finally:
        connection.close()
    encoding = response.headers.get("Content-Encoding", "").strip().lower()
    if encoding in ("gzip", "deflate"):
        body = unpacked(body, encoding)
    return response.status, response.reason, response.headers, body, reached[0]


def read_body(response, deadline):
    """The answer's body, read as it comes: TooLarge past MAX_BODY, and
    TimeoutError past the deadline (the socket's own timeout holds for each
    read alone, and a server may send a byte at a time)."""
    body = bytearray()
    while True:
        chunk = response.read1(CHUNK)
        if not chunk:
            return bytes(body)
        body += chunk
        if len(body) > MAX_BODY:
            raise TooLarge()
        if time.monotonic() > deadline:
            raise TimeoutError()


def unpacked(body, encoding):
    """body unpacked, up to MAX_BODY: TooLarge past it."""
    unpacker = zlib.decompressobj(zlib.MAX_WBITS | 32)  # either header, told apart
    try:
        data = unpacker.decompress(body, MAX_BODY + 1)
    except zlib.error as error:
        raise http.client.HTTPException("its %s content does not unpack: %s" % (encoding, error))
    if len(data) > MAX_BODY:
        raise TooLarge(encoding)
    if not unpacker.eof:
        raise http.client.HTTPException("its %s content does not unpack: the stream is cut short"
                                        % encoding)
    return data


def fetch(url, accept, timeout, portal=None, held_to=None):
    """GETs url and follows its redirects, all within timeout seconds. Each
    hop connects only where its name led when looked up, and only when the
    portal's space reaches every address the name gave: portal is the start
    page's Answer; without it, the fetch is the start page's own, and its
    first hop gives the space that its redirects are held to. held_to(url),
    where given, raises for a redirect that is not to be followed."""
    deadline = time.monotonic() + timeout
    redirects = []
    space = portal.space if portal else None
    for _ in range(MAX_REDIRECTS + 1):
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError()
        try:
            if held_to and redirects:
                held_to(url)
            addresses = addresses_of(url)
            if space is not None:
                held(url, addresses, space, bool(redirects))
            status, reason, headers, body, address = get(url, accept, left, addresses)
            space = space or reach.space_of(address[3][0])
        except NETWORK_ERRORS as error:
            # A redirect may have led elsewhere.
            error.address, error.redirects = urlsplit(url).netloc, redirects
            raise
        if time.monotonic() > deadline:
            raise TimeoutError()
        if status not in (301, 302, 303, 307, 308) or not headers.get("Location"):
            return Answer(url, status, reason, headers, body, redirects, address, space)
        target = resolve(url, headers["Location"])
        redirects.append((status, url, target))
        url = target
    raise http.client.HTTPException("more than %d redirects, the last to %s" % (MAX_REDIRECTS, url))


def why(error, address, timeout):
    """What a player's network would say about the failed connection."""
    if isinstance(error, (NoAddress, NotReached)):
        return str(error)
    address = getattr(error, "address", address)
    host = urlsplit("//" + address).hostname or address
    if isinstance(error, socket.gaierror):
        return "the name %s is not found (%s)" % (host, error.strerror)
    if isinstance(error, ConnectionRefusedError):
        return "%s refused the connection" % address
    if isinstance(error, TooLarge):
        return "%s sent more than %d MiB%s, more than the check reads" % (
            address, MAX_BODY >> 20, " once its %s content is unpacked" % error.encoding
            if error.encoding else "")
    if isinstance(error, TimeoutError):
        return "%s timed out: no answer within %g s" % (address, timeout)
    if isinstance(error, ssl.SSLCertVerificationError):
        return "the certificate of %s does not verify: %s" % (address, error.verify_message)
    if isinstance(error, ssl.SSLError):
        return "TLS with %s failed: %s" % (address, error.reason or error)
    if isinstance(error, OSError):
        return "%s: %s" % (address, error.strerror or error)
    return "%s gave no HTTP answer: %s" % (address, error or type(error).__name__)


def listed(redirects):
    return "".join("; %d %s -> %s" % hop for hop in redirects)
