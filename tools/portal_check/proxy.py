"""The page runs' one way out of their sandbox: an HTTP proxy on a Unix
socket, in a private folder that the sandbox sees, that reaches the portal's
own scheme, host and port and nothing else. Inside the box no other
connection can be made; run_page.js hands jsdom an http proxy address whose
connections go to this socket (requests.js), and XMLHttpRequest uses it too.

Page code can reach the socket itself and open as many connections as it
likes, so one thread runs an event loop that serves them all, a task for each
connection that has sent something, which reads its request, decides and
forwards it: at most MAX_WAITING connections that have not sent their request
yet (past that, a new one takes the place of the oldest of them) and
MAX_LINKS requests at once (past that, 503).
"""
import asyncio
import os
import shutil
import socket
import tempfile
import threading
from urllib.parse import urlsplit

import host_folder

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
    the proxy's own to the portal; its task, what has come of its request
    head and when it was last heard from."""

    def __init__(self, client, head, now):
        self.client, self.upstream = client, None
        self.head, self.heard = bytearray(head), now
        self.task = None


class OriginProxy:
    def __init__(self, url, timeout, address=None):
        """address: where the check fetched the page from, (family, type,
        protocol, sockaddr); the portal's name is looked up only without it."""
        origin = urlsplit(url)
        self.pinned = address
        self.scheme, self.timeout = origin.scheme, timeout
        self.origin = (origin.hostname, origin.port or DEFAULT_PORTS.get(origin.scheme))
        self.refused = {}  # what was asked of other origins, as addresses, in order
        self.links = set()  # each open connection's Link
        self.waiting = {}  # those without their request yet, oldest first
        self.tasks = set()  # every task of the loop's but its main one
        self.addresses = []
        self.folder = tempfile.mkdtemp(prefix="run-", dir=host_folder.check_folder())
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
            os.chown(self.folder, host_folder.NOBODY, host_folder.NOBODY)
        self.loop = asyncio.new_event_loop()
        self.stopped = self.loop.create_future()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        try:
            self.addresses = self.resolve()
            self.loop.run_until_complete(self.serve())
        finally:
            self.loop.close()
            self.listener.close()

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

    def taken(self):
        """What was refused since this was last asked, in the order asked."""
        refused, self.refused = self.refused, {}
        return list(refused)

    def close(self):
        """Stops serving; what was refused, in the order asked."""
        try:
            self.loop.call_soon_threadsafe(self.stop)
        except RuntimeError:  # the loop has ended already
            pass
        self.thread.join(5)
        shutil.rmtree(self.folder, ignore_errors=True)
        return list(self.refused)

    def stop(self):
        if not self.stopped.done():
            self.stopped.set_result(None)

    async def serve(self):
        self.spawn(self.accept())
        self.spawn(self.expire())
        try:
            await self.stopped
        finally:
            for link in list(self.links):
                self.drop(link)
            # Every task ends before the loop closes: none is left pending,
            # and each connection's sockets are closed on its way out.
            while self.tasks:
                for task in self.tasks:
                    task.cancel()
                await asyncio.gather(*self.tasks, return_exceptions=True)

    def spawn(self, work):
        task = self.loop.create_task(work)
        self.tasks.add(task)
        task.add_done_callback(self.tasks.discard)
        return task

    async def accept(self):
        while True:
            try:
                client, _ = await self.loop.sock_accept(self.listener)
                self.admit(client)
                for _ in range(ACCEPT_BATCH - 1):  # what else the backlog holds
                    self.admit(self.listener.accept()[0])
            except BlockingIOError:
                pass
            except OSError:
                # Out of descriptors: the backlog holds the rest meanwhile.
                await asyncio.sleep(0.1)
            await asyncio.sleep(0)

    def admit(self, client):
        """Takes a new connection, with what has come of its request already
        read: the page's own request is not pushed out by the idle ones that
        follow it. One that has sent nothing gets its task once something
        comes, so that the idle ones, which page code may open by the
        thousand, cost no more than the old ones that they push out."""
        client.setblocking(False)
        try:
            head = client.recv(CHUNK)
        except BlockingIOError:
            head = None
        except OSError:
            head = b""
        if head == b"":  # ended already
            client.close()
            return
        if len(self.waiting) >= MAX_WAITING:
            self.drop(next(iter(self.waiting)))
        link = Link(client, head or b"", self.loop.time())
        self.links.add(link)
        if b"\r\n\r\n" not in link.head:
            self.waiting[link] = True
        if head is None:
            self.loop.add_reader(client, self.begin, link, True)
        else:
            self.begin(link)

    def begin(self, link, waited=False):
        """Starts link's task, which reads its request and serves it."""
        if waited:
            self.loop.remove_reader(link.client)
        link.task = self.spawn(self.relay(link))
        link.task.add_done_callback(lambda task: self.ended(link))

    def drop(self, link):
        """Ends link: no longer counted at once, its socket closed once its
        task has let go of it."""
        if link.task:
            self.links.discard(link)
            self.waiting.pop(link, None)
            link.task.cancel()
        else:
            self.loop.remove_reader(link.client)
            self.ended(link)

    def ended(self, link):
        self.links.discard(link)
        self.waiting.pop(link, None)
        for sock in (link.client, link.upstream):
            if sock:
                sock.close()

    async def expire(self):
        """Ends each connection that nothing has come on, in either direction,
        for timeout seconds; a timer each would cost more, while page code
        opens connections by the thousand."""
        while True:
            await asyncio.sleep(1)
            now = self.loop.time()
            for link in [link for link in self.links if now - link.heard > self.timeout]:
                self.drop(link)

    async def relay(self, link):
        try:
            request = await self.request(link)
            if request is None:
                return
            self.waiting.pop(link, None)
            said = self.refusal(*request[:2])
            upstream = None if said else await self.connect()
            if upstream is None:
                link.client.send(said or BAD_GATEWAY)  # a few bytes, which its buffer takes
                return
            link.upstream = upstream
            if request[0] == "CONNECT":
                await self.loop.sock_sendall(link.client, TUNNEL)
                await self.loop.sock_sendall(upstream, request[-1])
            else:
                await self.loop.sock_sendall(upstream, self.forwarded(*request))
            await self.forward(link)
        except Exception:
            pass  # whatever page code sends or does ends its own connection alone
        finally:
            self.ended(link)  # no longer counted, at once

    async def request(self, link):
        """The request's method, target, version, header lines and what came
        after them; None for a head cut short, past HEAD_LIMIT or no
        request at all."""
        while b"\r\n\r\n" not in link.head:
            if len(link.head) > HEAD_LIMIT:
                return None
            chunk = await self.loop.sock_recv(link.client, CHUNK)
            if not chunk:
                return None
            link.heard = self.loop.time()
            link.head += chunk
        head, _, body = bytes(link.head).partition(b"\r\n\r\n")
        link.head = None
        lines = head.decode("latin-1").split("\r\n")
        try:
            method, target, version = lines[0].split(" ", 2)
        except ValueError:
            return None
        return method, target, version, lines[1:], body

    def refusal(self, method, target):
        """The answer that ends a request at once: 403 when it is not for the
        portal's origin, 503 past MAX_LINKS; None to serve it."""
        address, allowed = self.allowed(method, target)
        if not allowed:
            if len(self.refused) < MAX_REFUSED:
                self.refused[address] = True
            return REFUSED
        if len(self.links) - len(self.waiting) > MAX_LINKS:
            return BUSY
        return None

    def forwarded(self, method, target, version, headers, body):
        """The request as a browser sends it to the portal: in origin form,
        without what was meant for the proxy."""
        asked = urlsplit(target)
        path = (asked.path or "/") + ("?" + asked.query if asked.query else "")
        headers = [line for line in headers if not line.lower().startswith("proxy-")]
        return ("\r\n".join(["%s %s %s" % (method, path, version)] + headers)
                .encode("latin-1") + b"\r\n\r\n" + body)

    async def connect(self):
        """A connection to the first of the portal's addresses that takes it;
        None when none does."""
        for family, kind, protocol, address in self.addresses:
            sock = socket.socket(family, kind, protocol)
            try:
                sock.setblocking(False)
                await self.loop.sock_connect(sock, address)
                return sock
            except OSError:
                sock.close()
            except BaseException:  # cancelled
                sock.close()
                raise
        return None

    async def forward(self, link):
        """Forwards both ways until each side has ended; whatever else comes
        on the connection goes to the portal alone."""
        back = self.spawn(self.pump(link, link.upstream, link.client))
        try:
            await self.pump(link, link.client, link.upstream)
            await back
        finally:
            back.cancel()
            # Its calls on the sockets are undone before they are closed: a
            # number closed under them could be a new connection's by then.
            await asyncio.wait([back])

    async def pump(self, link, source, target):
        """Copies what source sends to target, reading on only once target has
        taken the last chunk, so that neither side's is held in memory."""
        try:
            while True:
                chunk = await self.loop.sock_recv(source, CHUNK)
                if not chunk:
                    break
                link.heard = self.loop.time()
                await self.loop.sock_sendall(target, chunk)
            target.shutdown(socket.SHUT_WR)
        except OSError:
            self.drop(link)  # the other direction ends with this one

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
