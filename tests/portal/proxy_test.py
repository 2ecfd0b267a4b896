#!/usr/bin/env python3
"""The page runs' proxy (tools/portal_check/proxy.py) driven on its Unix
socket, against loopback servers of the test's own: where requests go, and
each bound that page code, which may open as many connections as it likes,
meets.

Usage: proxy_test.py SOURCE_DIR [unittest options]
"""
import contextlib
import gc
import http.server
import logging
import os
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "tools", "portal_check"))
import proxy  # noqa: E402

PORT = None  # the portal's port, on 127.0.0.2 where its page came from and on 127.0.0.1
OPEN = []  # the test's connections to the proxy
BIG = b"x" * (8 << 20)


class Who(http.server.BaseHTTPRequestHandler):
    """Answers with the name of the server that got the request, the path it
    was asked and the proxy header that reached it; /big with 8 MiB."""

    def do_GET(self):
        body = ("%s %s %s" % (self.server.name, self.path, self.headers["Proxy-Authorization"])
                ).encode()
        body = BIG if self.path == "/big" else body
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            self.wfile.write(body)
        except OSError:
            pass  # the proxy has closed

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    request_queue_size = 1024  # a tunnel taken at once, rather than after a retried handshake


def serve(name, address, port):
    server = Server((address, port), Who)
    server.daemon_threads, server.name = True, name
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


def setUpModule():
    global PORT
    PORT = serve("pinned", "127.0.0.2", 0)
    # The portal's name (localhost) now leads here: what asked it again would come.
    serve("elsewhere", "127.0.0.1", PORT)


def connect(origin, sent=b""):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(origin.path)
    sock.sendall(sent)
    OPEN.append(sock)
    return sock


def answer(sock, sent=b"", wait=10):
    """What comes back until the proxy closes the connection, which then
    closes; None when it is still open after wait seconds."""
    sock.settimeout(wait)
    got = b""
    try:
        sock.sendall(sent)
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            got += chunk
    except (BrokenPipeError, ConnectionResetError):
        pass
    except socket.timeout:
        return None
    sock.close()
    return got


def opened(sock):
    """The proxy's first answer to a tunnel's request, the connection left open."""
    sock.settimeout(10)
    return sock.recv(len(proxy.TUNNEL), socket.MSG_WAITALL)


def memory():
    with open("/proc/self/status") as status:
        return [int(line.split()[1]) << 10 for line in status if line.startswith("VmRSS:")][0]


def fds():
    return len(os.listdir("/proc/self/fd"))


def get(target, *headers):
    return ("\r\n".join(["GET %s HTTP/1.1" % target, *headers, "", ""])).encode()


class Proxy(unittest.TestCase):
    @contextlib.contextmanager
    def origin(self, url, timeout=30, host="127.0.0.2"):
        """A proxy for url, whose page came from host; once done, closing it
        ends its thread and every connection at once, leaving no descriptor
        open and nothing said."""
        del OPEN[:]
        before = fds()
        with self.assertNoLogs("asyncio", logging.WARNING):
            made = proxy.OriginProxy(url % PORT, timeout,
                                     (socket.AF_INET, socket.SOCK_STREAM, 6, (host, PORT)))
            try:
                yield made
            finally:
                started = time.monotonic()
                made.refused_at_close = made.close()
            gc.collect()  # a task left pending says so as it goes
        self.assertLess(time.monotonic() - started, 2)
        self.assertFalse(made.thread.is_alive())
        for sock in [sock for sock in OPEN if sock.fileno() >= 0]:
            self.assertEqual(b"", answer(sock, wait=2))
        del OPEN[:]
        for _ in range(50):  # the servers' sides close once they see the end
            if fds() <= before:
                break
            time.sleep(0.1)
        self.assertLessEqual(fds(), before)

    def test_requests_reach_the_portal_where_its_page_came_from_alone(self):
        """In origin form, without the proxy's headers, at the address the
        page came from though the name leads elsewhere now, 502 when it does
        not answer; another host, port, scheme or no address at all, or a
        tunnel to another port: 403, of which the first 100 are kept."""
        asked = "http://localhost:%d/who?x=1" % PORT
        with self.origin("http://localhost:%d/") as origin:
            self.assertTrue(answer(connect(origin), get(asked, "Proxy-Authorization: a"))
                            .endswith(b"\r\n\r\npinned /who?x=1 None"))
            others = ["http://localhost:%d/" % (PORT + 1), "http://127.0.0.2:%d/" % PORT,
                      "https://localhost:%d/" % PORT, "http://[::1"]
            others += ["http://localhost:%d/" % port for port in range(1, 101)]
            for other in others:
                self.assertEqual(proxy.REFUSED, answer(connect(origin), get(other)), other)
        self.assertEqual(others[:100], origin.refused_at_close)
        with self.origin("http://localhost:%d/", host="127.0.0.3") as origin:
            self.assertEqual(proxy.BAD_GATEWAY, answer(connect(origin), get(asked)))
        with self.origin("https://localhost:%d/") as origin:  # a tunnel to another port
            for other in (b"localhost:%d" % (PORT + 1), b"localhost"):
                self.assertEqual(proxy.REFUSED, answer(connect(origin), b"CONNECT %s HTTP/1.1"
                                                       b"\r\n\r\n" % other), other)

    def test_connections_at_once_and_waiting_are_bounded(self):
        """Past 256 connections without a request, the oldest is closed and a
        new request is still served; with 64 tunnels open, one more is
        answered 503, and served again once one has ended; the proxy holds at
        most a chunk of each when none reads what the portal sends."""
        tunnel = b"CONNECT localhost:%d HTTP/1.1\r\n\r\n" % PORT
        with self.origin("https://localhost:%d/") as origin:
            idle = [connect(origin) for _ in range(proxy.MAX_WAITING)]
            self.assertTrue(answer(connect(origin), tunnel + b"GET / HTTP/1.0\r\n\r\n")
                            .endswith(b"pinned / None"))
            self.assertEqual(b"", answer(idle[0]))
            self.assertIsNone(answer(idle[1], wait=0.5))
            held = [connect(origin, tunnel) for _ in range(proxy.MAX_LINKS)]
            self.assertEqual([proxy.TUNNEL] * len(held), [opened(sock) for sock in held])
            self.assertEqual(proxy.BUSY, answer(connect(origin), tunnel))
            self.assertTrue(answer(held.pop(), b"GET /last HTTP/1.0\r\n\r\n")
                            .endswith(b"pinned /last None"))
            for _ in range(50):  # once the proxy has seen it end
                held.append(connect(origin, tunnel))
                if opened(held[-1]) == proxy.TUNNEL:
                    break
                held.pop().close()
                time.sleep(0.1)
            self.assertEqual(proxy.MAX_LINKS, len(held))
            before = memory()
            for sock in held:
                sock.sendall(b"GET /big HTTP/1.0\r\n\r\n")
            time.sleep(1.5)
            self.assertLess(memory() - before, 16 << 20)

    def test_heads_are_bounded_in_size_and_time(self):
        """A head past 64 KiB is dropped at once; one that never ends, and a
        tunnel where nothing comes, are dropped after the time limit, while
        a head or a tunnel that carries something, however slowly, is not."""
        with self.origin("http://localhost:%d/") as origin:
            large = get("http://localhost:%d/" % PORT, "X: " + "a" * proxy.HEAD_LIMIT)[:-2]
            self.assertEqual(b"", answer(connect(origin), large))
        tunnel = b"CONNECT localhost:%d HTTP/1.1\r\n" % PORT
        with self.origin("https://localhost:%d/", timeout=1) as origin:
            started = time.monotonic()
            self.assertEqual(b"", answer(connect(origin), tunnel))
            sock = connect(origin, tunnel + b"\r\n")
            self.assertEqual(proxy.TUNNEL, opened(sock))
            self.assertEqual(b"", answer(sock))
            self.assertGreater(time.monotonic() - started, 1.9)
            # Slowly, past the time limit: the tunnelled request's head, then the tunnel's.
            for head, rest in ((tunnel + b"\r\nGET /slow HTTP/1.0\r\n", b"\r\n"),
                               (tunnel, b"\r\nGET /slow HTTP/1.0\r\n\r\n")):
                sock = connect(origin, head)
                for _ in range(4):
                    time.sleep(0.5)
                    sock.sendall(b"X: y\r\n")
                self.assertTrue(answer(sock, rest).endswith(b"pinned /slow None"))


if __name__ == "__main__":
    sys.argv.pop(1)
    unittest.main(verbosity=2)
