#!/usr/bin/env python3
"""Prints what the page runs' sandbox costs: one run of run_page.js on a
small page started plainly (as before the sandbox) and in the sandbox, in
alternation, and the whole check on a page with Debian's jQuery
(libjs-jquery). Figures, not a test: nothing fails when one is slow.

Usage: portal_sandbox.py [ROUNDS [COMMIT]]   (default 11 rounds; with
COMMIT, the check as it was there runs in alternation with today's)
       portal_sandbox.py --bounds [ROUNDS]   (default 3: the check's own peak
memory and threads, and its time, on pages whose code floods node's output
or the proxy, beside the jQuery page)
"""
import atexit
import http.server
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools", "portal_check"))
import box  # noqa: E402
import node  # noqa: E402
from proxy import OriginProxy  # noqa: E402

HEAD = ('<!DOCTYPE html><html><head><meta charset="utf-8">'
        '<meta http-equiv="X-UA-Compatible" content="IE=edge"><title>T</title>')
# Page code that reaches Node, as a hostile script would.
REACH = ("var node = this.constructor.constructor('return process')(), "
         "need = node.mainModule.require;\n")
FLOOD = REACH + ("var chunk = need('buffer').Buffer.from(new Array(1 << 15).join("
                 "'{\"event\":\"done\"}\\n')), left = 200 << 20;\n"
                 "while (left > 0) { try { left -= need('fs').writeSync(%d, chunk); } "
                 "catch (e) { if (e.code !== 'EAGAIN') break; } }\n")
# Under Node 18, which has no permission model, page code lists /tmp and
# finds the proxy's socket.
CONNECTIONS = REACH + (
    "var fs = need('fs'), held = [], found;\n"
    "(function walk(dir) { fs.readdirSync(dir).forEach(function (name) {\n"
    "  if (name === 'proxy.sock') found = dir + '/' + name;\n"
    "  else try { walk(dir + '/' + name); } catch (e) {} }); })('/tmp');\n"
    "for (var i = 0; i < 4000; i++) "
    "held.push(need('net').connect(found).on('error', function () {}));\n")
# What the sandbox test fetches.
NODE_18 = os.path.join(SOURCE, "build", "node-cache", "node-v18.20.4", "bin")


def one_run(sandboxed, port):
    url = "http://127.0.0.1:%d/" % port
    payload = {"url": url, "html": HEAD + "<script>var a = 1;</script></head><body></body></html>",
               "host": "127.0.0.1:%d" % port, "settle": 0, "strip": False,
               "scripts": [{"url": None, "text": "var a = 1;", "line": 1, "column": 0}]}
    started = time.monotonic()
    if sandboxed:
        proxy = OriginProxy(url, 10)
        run = node.start("run_page.js", dict(payload, proxy=proxy.path), sandbox=(proxy.folder,))
    else:
        flags = [node.permission_flag()] + ["--allow-fs-read=%s" % os.path.join(p, "*")
                                            for p in [node.HERE] + node.modules()]
        process = subprocess.Popen([node.node(), *[f for f in flags if f != "None"],
                                    "--max-old-space-size=%d" % node.HEAP_MB, "--no-warnings",
                                    os.path.join(node.HERE, "run_page.js")],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=node.environment())
        run = (process, json.dumps(payload).encode())
    output = node.finish(run, 30)
    took = time.monotonic() - started
    if sandboxed:
        proxy.close()
    assert '"done"' in output, output
    return took


def bare(sandboxed, command):
    """One start of command to its end, plainly or in the sandbox."""
    started = time.monotonic()
    if sandboxed:
        fd = box.filter_pipe()
        subprocess.run(box.command(command, {}, node.reads(), fd), pass_fds=(fd,), check=True,
                       stdin=subprocess.DEVNULL, env={"PATH": os.environ["PATH"]})
        os.close(fd)
    else:
        subprocess.run(command, check=True, stdin=subprocess.DEVNULL)
    return time.monotonic() - started


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 11
    folder = tempfile.mkdtemp(prefix="portal-bench-")
    atexit.register(shutil.rmtree, folder, True)
    with open("/usr/share/javascript/jquery/jquery.min.js") as jquery:
        port = portal(folder, {
            "jquery.js": jquery.read(),
            "index.html": HEAD + '<script src="/jquery.js"></script></head><body><p id="n">News'
                          '</p><script>$(function () { $("#n").text("Today"); });</script>'
                          '</body></html>'})
    node.check_sandbox()
    one_run(True, port)  # warm-up: the filter and the probe are made once per check
    starts = {}
    for command in (["/usr/bin/true"], [node.node_binary(), "-e", "0"]):
        for _ in range(rounds * 2):
            for sandboxed in (False, True):
                starts.setdefault((command[0], sandboxed), []).append(bare(sandboxed, command))
    plain, boxed = [], []
    for _ in range(rounds):
        plain.append(one_run(False, port))
        boxed.append(one_run(True, port))
    scripts = {"today": os.path.join(SOURCE, "scripts", "check-portal.sh")}
    if len(sys.argv) > 2:
        before = tempfile.mkdtemp(prefix="portal-before-")
        atexit.register(shutil.rmtree, before, True)
        archive = subprocess.run(["git", "-C", SOURCE, "archive", sys.argv[2], "tools", "scripts"],
                                 capture_output=True, check=True).stdout
        subprocess.run(["tar", "-x", "-C", before], input=archive, check=True)
        scripts[sys.argv[2]] = os.path.join(before, "scripts", "check-portal.sh")
    checks = {name: [] for name in scripts}
    for _ in range(rounds):
        for name, script in scripts.items():
            started = time.monotonic()
            subprocess.run([script, "127.0.0.1:%d" % port], capture_output=True, check=False)
            checks[name].append(time.monotonic() - started)
    ms = lambda values: "%.0f ms (%.0f-%.0f)" % (statistics.median(values) * 1000,
                                                min(values) * 1000, max(values) * 1000)
    print("node %s, %d rounds, load average %s, the %s box" % (
        node.version(), rounds, " ".join(open("/proc/loadavg").read().split()[:3]), box.used()))
    for (command, sandboxed), times in starts.items():
        print("%s, %s: %s" % (os.path.basename(command),
                              "sandboxed" if sandboxed else "plain", ms(times)))
    print("one page run, plain:      %s" % ms(plain))
    print("one page run, sandboxed:  %s" % ms(boxed))
    print("added by the sandbox:     %.0f ms (median of the round-by-round differences)"
          % (statistics.median(b - p for p, b in zip(plain, boxed)) * 1000))
    for name, times in checks.items():
        print("whole check, jQuery page, %s: %s" % (name, ms(times)))


def peaks(port, path):
    """One whole check of the portal at port, with path first in PATH if
    given: its wall time, and its own peak resident memory (VmHWM, MiB) and
    threads."""
    environment = dict(os.environ, PATH=os.pathsep.join(filter(None, [path, os.environ["PATH"]])))
    started = time.monotonic()
    process = subprocess.Popen([os.path.join(SOURCE, "scripts", "check-portal.sh"),
                                "127.0.0.1:%d" % port], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, env=environment)
    memory = threads = 0
    while process.poll() is None:
        try:
            with open("/proc/%d/status" % process.pid) as status:
                fields = dict(line.split(":", 1) for line in status if ":" in line)
            memory = max(memory, int(fields["VmHWM"].split()[0]))
            threads = max(threads, int(fields["Threads"]))
        except (OSError, KeyError, ValueError):
            pass
        time.sleep(0.01)
    return time.monotonic() - started, memory / 1024, threads


def portal(folder, files):
    """Serves files ({name: text}) from folder on a loopback port, and the port."""
    os.makedirs(os.path.join(folder, "stats"))
    files = dict(files, **{"stats/varnholt.html": "<p>Statistics</p>"})
    for name, text in files.items():
        with open(os.path.join(folder, name), "w") as page:
            page.write(text)

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args):
            super().__init__(*args, directory=folder)

        def log_message(self, *args):
            pass
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Quiet)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


def bounds(rounds):
    base = tempfile.mkdtemp(prefix="portal-bench-")
    atexit.register(shutil.rmtree, base, True)
    page = HEAD + '<script src="/app.js"></script></head><body><p>News</p></body></html>'
    with open("/usr/share/javascript/jquery/jquery.min.js") as jquery:
        pages = {"the jQuery page": {"index.html": HEAD + '<script src="/jquery.js"></script>'
                                     '</head><body><p id="n">News</p><script>$(function () { '
                                     '$("#n").text("Today"); });</script></body></html>',
                                     "jquery.js": jquery.read()},
                 "200 MB of event lines on stdout": {"index.html": page, "app.js": FLOOD % 1},
                 "200 MB of event lines on stderr": {"index.html": page, "app.js": FLOOD % 2},
                 "4,000 connections to the proxy, Node 18": {"index.html": page,
                                                             "app.js": CONNECTIONS}}
    ports = {name: portal(os.path.join(base, str(index)), files)
             for index, (name, files) in enumerate(pages.items())}
    print("node %s, %d rounds, load average %s; the check's own peak memory and threads, "
          "median (min-max)" % (node.version(), rounds,
                                " ".join(open("/proc/loadavg").read().split()[:3])))
    for name, port in ports.items():
        path = NODE_18 if pages[name].get("app.js") == CONNECTIONS else None
        if path and not os.path.exists(path):
            print("%s: not measured, no Node 18 in %s (the sandbox test fetches it)"
                  % (name, path))
            continue
        seen = [peaks(port, path) for _ in range(rounds)]
        said = ["%.1f-%.1f" % (min(s[i] for s in seen), max(s[i] for s in seen)) for i in range(2)]
        print("%-42s %5.2f s (%s), %5.1f MiB (%s), %d threads at most" % (
            name + ":", statistics.median(s[0] for s in seen), said[0],
            statistics.median(s[1] for s in seen), said[1], max(s[2] for s in seen)))


if __name__ == "__main__":
    if sys.argv[1:2] in (["-h"], ["--help"]):
        print(__doc__.strip())
    elif sys.argv[1:2] == ["--bounds"]:
        bounds(int(sys.argv[2]) if len(sys.argv) > 2 else 3)
    else:
        main()
