"""The page runs' one way out of their sandbox: an HTTP proxy on a Unix
socket, in a private folder that the sandbox sees, that reaches the portal's
own scheme, host and port and nothing else. Inside, the network namespace
has only its own loopback; run_page.js forwards a port there to this socket
and hands it to jsdom as its proxy, which XMLHttpRequest uses too.

Page code can reach the socket itself and open as many connections as it
likes, so one thread serves them all: at most MAX_WAITING that have not sent
their request yet (past that, a new one takes the place of the oldest of
them) and MAX_LINKS requests at once (past that, 503).
"""
import errno
import os
import selectors
import shutil
import socket
import tempfile
import threading
import time
from urllib.parse import urlsplit

import box

HEAD_LIMIT = 64 * 1024
CHUNK = 64 * 1024
# Requests served at once: far more than jsdom opens for a page, and each
# holds at most a chunk each way.
MAX_LINKS = 64
# Connections that have not sent their request head yet, each holding at most
# HEAD_LIMIT. While page code opens idle ones by the thousand, the page's own
# request must come within this many new connections after its own.
MAX_WAITING = 256
# Connections taken from the backlog at a time, between reads of the others.
ACCEPT_BATCH = 64
# Addresses kept of what was refused: the line lists them, and a page may ask
# for new ones without end.
MAX_REFUSED = 100
REFUSED = b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
BAD_GATEWAY = b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
BUSY = b"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
TUNNEL = b"HTTP/1.1 200 Connection established\r\n\r\n"
DEFAULT_PORTS = {"http": 80, "https": 443}


class Link:
    """One connection of the page's and, once its request names the portal,
    the proxy's own to the portal; what is still to be sent to either side,
    and which side has ended."""

    def __init__(self, client, now):
        self.client, self.upstream = client, None
        self.head = bytearray()
        self.heard = now
        self.connecting = []  # the portal's addresses still to try, while connecting
        self.reply = self.request = b""  # what goes to each side once connected
        self.pending = {client: b""}
        self.ended = set()

    def peer(self, sock):
        return self.upstream if sock is self.client else self.client

    def sockets(self):
        return [s for s in (self.client, self.upstream) if s is not None]

    def wanted(self, sock):
        """The events to wait for on sock: a side is read only once what it
        sent last has gone on, so that neither is held in memory."""
        if self.upstream is None:
            return selectors.EVENT_READ
        if self.connecting:
            return selectors.EVENT_WRITE if sock is self.upstream else 0
        events = selectors.EVENT_WRITE if self.pending[sock] else 0
        if sock not in self.ended and not self.pending[self.peer(sock)]:
            events |= selectors.EVENT_READ
        return events


class OriginProxy:
    def __init__(self, url, timeout, address=None):
        """address: where the check fetched the page from, (family, type,
        protocol, sockaddr); the portal's name is looked up only without it."""
        origin = urlsplit(url)
        self.pinned = address
        self.scheme, self.timeout = origin.scheme, timeout
        self.origin = (origin.hostname, origin.port or DEFAULT_PORTS.get(origin.scheme))
        self.refused = {}  # what was asked of other origins, as addresses, in order
        self.links = {}  # each socket's Link
        self.open = set()
        self.waiting = {}  # links without their request yet, oldest first
        self.expired = time.monotonic()
        self.addresses = []
        self.stopping = False
        self.folder = tempfile.mkdtemp(prefix="run-", dir=box.check_folder())
        self.path = os.path.join(self.folder, "proxy.sock")
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        # A page that opens thousands of connections at once fills the backlog
        # before its own request comes: the kernel holds them, not the check.
        self.listener.listen(socket.SOMAXCONN)
        self.listener.setblocking(False)
        # Connecting takes write permission on the socket; the folder stays
        # closed to everyone but the sandbox's user.
        os.chmod(self.path, 0o666)
        if os.geteuid() == 0:
            os.chown(self.folder, box.NOBODY, box.NOBODY)
        self.selector = selectors.DefaultSelector()
        self.wake, woken = socket.socketpair()
        self.selector.register(woken, selectors.EVENT_READ, "wake")
        self.selector.register(self.listener, selectors.EVENT_READ, "accept")
        self.thread = threading.Thread(target=self.serve, args=(woken,), daemon=True)
        self.thread.start()

    def serve(self, woken):
        try:
            self.addresses = self.resolve()
            while not self.stopping:
                for key, events in self.selector.select(timeout=1.0):
                    if key.data == "accept":
                        self.accept()
                    elif key.data != "wake":
                        self.step(key.fileobj, events)
                if time.monotonic() - self.expired > 1:
                    self.expire()
        finally:
            for link in list(self.open):
                self.drop(link)
            self.selector.close()
            self.listener.close()
            woken.close()

    def resolve(self):
        """The portal's addresses, looked up once; none when its name is not
        found, and each request is then answered 502."""
        if self.pinned:
            # Asked again, a name may now lead elsewhere (to the machine's
            # own loopback); the page's requests go where its page came from.
            return [self.pinned]
        try:
            return [info[:3] + (info[4],) for info in socket.getaddrinfo(
                *self.origin, type=socket.SOCK_STREAM)]
        except (OSError, UnicodeError):
            return []

    def close(self):
        """Stops serving; what was refused, in the order asked."""
        self.stopping = True
        try:
            self.wake.send(b"x")
        except OSError:
            pass
        self.thread.join(5)
        self.wake.close()
        shutil.rmtree(self.folder, ignore_errors=True)
        return list(self.refused)

    def accept(self):
        for _ in range(ACCEPT_BATCH):
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            if len(self.waiting) >= MAX_WAITING:
                self.drop(next(iter(self.waiting)))
            client.setblocking(False)
            link = Link(client, time.monotonic())
            self.links[client] = link
            self.open.add(link)
            self.waiting[link] = True
            # Its head read at once where it has come: the page's own request
            # is not pushed out by the idle ones that follow it.
            self.step(client, selectors.EVENT_READ)

    def expire(self):
        now = self.expired = time.monotonic()
        for link in list(self.open):
            if now - link.heard > self.timeout:
                self.drop(link)

    def drop(self, link):
        self.open.discard(link)
        self.waiting.pop(link, None)
        for sock in link.sockets():
            self.links.pop(sock, None)
            if self.registered(sock):
                self.selector.unregister(sock)
            sock.close()

    def registered(self, sock):
        try:
            self.selector.get_key(sock)
            return True
        except (KeyError, ValueError):
            return False

    def step(self, sock, events):
        link = self.links.get(sock)
        if link is None:
            return
        link.heard = time.monotonic()
        try:
            if events & selectors.EVENT_WRITE:
                if sock is link.upstream and link.connecting:
                    self.connected(link)
                else:
                    self.send(link, sock)
            if events & selectors.EVENT_READ and link in self.open:
                if link.upstream is None:
                    self.read_head(link)
                else:
                    self.forward(link, sock)
        except BlockingIOError:
            pass
        except OSError:
            self.drop(link)
        if link in self.open:
            self.update(link)

    def update(self, link):
        """Waits on each side of link for what it now needs; closes link once
        both sides have ended and all is sent."""
        if len(link.ended) == 2 and not any(link.pending.values()):
            self.drop(link)
            return
        for sock in link.sockets():
            wanted = link.wanted(sock)
            if self.registered(sock):
                if wanted:
                    self.selector.modify(sock, wanted, link)
                else:
                    self.selector.unregister(sock)
            elif wanted:
                self.selector.register(sock, wanted, link)

    def read_head(self, link):
        chunk = link.client.recv(CHUNK)
        link.head += chunk
        if not chunk or b"\r\n\r\n" not in link.head and len(link.head) > HEAD_LIMIT:
            self.drop(link)
            return
        if b"\r\n\r\n" not in link.head:
            return
        head, _, body = bytes(link.head).partition(b"\r\n\r\n")
        link.head = None
        del self.waiting[link]
        try:
            lines = head.decode("latin-1").split("\r\n")
            method, target, version = lines[0].split(" ", 2)
        except ValueError:
            self.drop(link)
            return
        address, allowed = self.allowed(method, target)
        if not allowed:
            if len(self.refused) < MAX_REFUSED:
                self.refused[address] = True
            self.answer(link, REFUSED)
            return
        if len(self.open) - len(self.waiting) > MAX_LINKS:
            self.answer(link, BUSY)
            return
        if method == "CONNECT":
            link.reply, link.request = TUNNEL, body
        else:
            # The portal gets the request as from a browser, in origin form.
            asked = urlsplit(target)
            path = (asked.path or "/") + ("?" + asked.query if asked.query else "")
            headers = [line for line in lines[1:] if not line.lower().startswith("proxy-")]
            link.request = ("\r\n".join(["%s %s %s" % (method, path, version)] + headers)
                            .encode("latin-1") + b"\r\n\r\n" + body)
        link.connecting = list(self.addresses)
        self.connect(link)

    def answer(self, link, said):
        """Sends said (a few bytes, which a new socket's buffer takes) and
        closes the connection."""
        try:
            link.client.send(said)
        except OSError:
            pass
        self.drop(link)

    def connect(self, link):
        """Starts connecting to the next of the portal's addresses; 502 when
        none is left."""
        if link.upstream is not None:
            self.links.pop(link.upstream, None)
            if self.registered(link.upstream):
                self.selector.unregister(link.upstream)
            link.upstream.close()
            link.upstream = None
        if not link.connecting:
            self.answer(link, BAD_GATEWAY)
            return
        family, kind, protocol, address = link.connecting[0]
        link.upstream = socket.socket(family, kind, protocol)
        link.upstream.setblocking(False)
        self.links[link.upstream] = link
        if link.upstream.connect_ex(address) not in (0, errno.EINPROGRESS):
            link.connecting.pop(0)
            self.connect(link)

    def connected(self, link):
        if link.upstream.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
            link.connecting.pop(0)
            self.connect(link)
            return
        link.connecting = []
        # Whatever else comes on this connection goes to the portal alone.
        link.pending = {link.client: link.reply, link.upstream: link.request}
        link.reply = link.request = b""

    def send(self, link, sock):
        sent = sock.send(link.pending[sock]) if link.pending[sock] else 0
        link.pending[sock] = link.pending[sock][sent:]
        if not link.pending[sock] and link.peer(sock) in link.ended:
            sock.shutdown(socket.SHUT_WR)

    def forward(self, link, sock):
        chunk = sock.recv(CHUNK)
        target = link.peer(sock)
        if not chunk:
            link.ended.add(sock)
            if not link.pending[target]:
                target.shutdown(socket.SHUT_WR)
            return
        link.pending[target] = chunk
        self.send(link, target)

    def allowed(self, method, target):
        """The address asked for, and whether it is the portal's origin."""
        if method == "CONNECT":
            address, scheme, authority = "https://%s/" % target, "https", "//" + target
        else:
            address, scheme, authority = target, None, target
        try:  # a target that is no address at all ("http://[::1") is refused too
            asked = urlsplit(authority)
            scheme = scheme or asked.scheme
            port = asked.port or DEFAULT_PORTS.get(scheme)
        except ValueError:
            return address, False
        return address, scheme == self.scheme and (asked.hostname, port) == self.origin
