"""The page runs' one way out of their sandbox: an HTTP proxy on a Unix
socket, in a private folder that the sandbox sees, that reaches the portal's
own scheme, host and port and nothing else. Inside, the network namespace
has only its own loopback; run_page.js forwards a port there to this socket
and hands it to jsdom as its proxy, which XMLHttpRequest uses too.
"""
import os
import shutil
import socket
import tempfile
import threading
from urllib.parse import urlsplit

import node

HEAD_LIMIT = 64 * 1024
REFUSED = b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
TUNNEL = b"HTTP/1.1 200 Connection established\r\n\r\n"
DEFAULT_PORTS = {"http": 80, "https": 443}


class OriginProxy:
    def __init__(self, url, timeout):
        origin = urlsplit(url)
        self.scheme, self.timeout = origin.scheme, timeout
        self.origin = (origin.hostname, origin.port or DEFAULT_PORTS.get(origin.scheme))
        self.refused = []  # what was asked of other origins, as addresses
        self.lock = threading.Lock()
        self.folder = tempfile.mkdtemp(prefix="run-", dir=node.check_folder())
        self.path = os.path.join(self.folder, "proxy.sock")
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        self.listener.listen(64)
        # Connecting takes write permission on the socket; the folder stays
        # closed to everyone but the sandbox's user.
        os.chmod(self.path, 0o666)
        if os.geteuid() == 0:
            os.chown(self.folder, node.NOBODY, node.NOBODY)
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return  # closed
            threading.Thread(target=self.handle, args=(client,), daemon=True).start()

    def close(self):
        """Stops serving; what was refused, in the order asked."""
        self.listener.close()
        shutil.rmtree(self.folder, ignore_errors=True)
        with self.lock:
            return list(self.refused)

    def allowed(self, method, target):
        """The address asked for, and whether it is the portal's origin."""
        if method == "CONNECT":
            asked = urlsplit("//" + target)
            address = "https://%s/" % target
            scheme = "https"
        else:
            asked = urlsplit(target)
            address, scheme = target, asked.scheme
        try:
            port = asked.port or DEFAULT_PORTS.get(scheme)
        except ValueError:
            return address, False
        return address, scheme == self.scheme and (asked.hostname, port) == self.origin

    def handle(self, client):
        with client:
            client.settimeout(self.timeout)
            try:
                head = b""
                while b"\r\n\r\n" not in head and len(head) < HEAD_LIMIT:
                    chunk = client.recv(65536)
                    if not chunk:
                        return
                    head += chunk
                head, _, body = head.partition(b"\r\n\r\n")
                lines = head.decode("latin-1").split("\r\n")
                method, target, version = lines[0].split(" ", 2)
            except (OSError, ValueError):
                return
            address, allowed = self.allowed(method, target)
            if not allowed:
                with self.lock:
                    self.refused.append(address)
                try:
                    client.sendall(REFUSED)
                except OSError:
                    pass
                return
            try:
                upstream = socket.create_connection(self.origin, timeout=self.timeout)
            except OSError:
                client.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n"
                               b"Connection: close\r\n\r\n")
                return
            with upstream:
                if method == "CONNECT":
                    client.sendall(TUNNEL)
                else:
                    # The portal gets the request as from a browser, in origin form.
                    asked = urlsplit(target)
                    path = (asked.path or "/") + ("?" + asked.query if asked.query else "")
                    headers = [line for line in lines[1:]
                               if not line.lower().startswith("proxy-")]
                    body = ("\r\n".join(["%s %s %s" % (method, path, version)] + headers)
                            .encode("latin-1") + b"\r\n\r\n" + body)
                if body:
                    upstream.sendall(body)
                # Whatever else comes on this connection goes to the portal alone.
                back = threading.Thread(target=pipe, args=(upstream, client), daemon=True)
                back.start()
                pipe(client, upstream)
                back.join(self.timeout)


def pipe(source, target):
    try:
        while True:
            chunk = source.recv(65536)
            if not chunk:
                break
            target.sendall(chunk)
        target.shutdown(socket.SHUT_WR)
    except OSError:
        pass
