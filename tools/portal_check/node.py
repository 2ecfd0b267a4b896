"""Finds node and runs the node programs beside this file: each reads JSON
on stdin (run_page.js a page after another) and writes its findings on
stdout.

A program that runs the page's own code (run_page.js) runs in the box that
box.py makes: jsdom is no sandbox, page code reaches Node's process object
through the constructor chain, and the box is what holds it then. Inside,
Node's permission model, where this node has it, is a second layer. Where
no box can be made, page code does not run at all.
"""
import glob
import hashlib
import json
import math
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

import box

HERE = os.path.dirname(os.path.abspath(__file__))
# Debian keeps the node modules here; its own node finds them without being
# told, other builds of node do not.
MODULES = "/usr/share/nodejs"
# Each node process's heap, in MiB: enough for a 20 MB script's syntax tree,
# and a page that wants more is told so rather than taking the machine.
HEAP_MB = 1536
# The stylesheets check walks each rule once: V8's optimizing compiler
# spends more processor time on its code than it saves (0.45 s against 0.27 s
# on a 385 KB template's sheets), and the check's programs share two cores.
PROGRAM_FLAGS = {"stylesheets.js": ["--no-opt"]}


class NodeError(Exception):
    """A node program that did not finish: why, in words for the verdict
    line, and what it wrote before it stopped."""

    def __init__(self, reason, output="", stopped=False):
        super().__init__(reason)
        self.output, self.stopped = output, stopped


def node():
    found = shutil.which("node") or shutil.which("nodejs")
    if not found:
        raise NodeError("node is not installed (apt-get install nodejs)")
    return found


def search_path():
    return [MODULES] + [p for p in os.environ.get("NODE_PATH", "").split(os.pathsep) if p]


def node_binary():
    """The node binary itself, links followed: /etc/alternatives is not in a box."""
    return os.path.realpath(node())


def environment():
    # NODE_OPTIONS could widen the box; the programs take nothing from it.
    clean = {name: value for name, value in os.environ.items() if name != "NODE_OPTIONS"}
    clean["NODE_PATH"] = os.pathsep.join(search_path())
    return clean


_cache = {}
_facts_lock = threading.Lock()
# Where the facts the programs take of browser-compat-data are kept between
# checks (ie11.js says why), a folder for each version of bcd and of the
# programs that read it.
FACTS_FOLDER = "varnholt-portal-check"


def facts():
    """The folder of the facts ie11.js keeps of bcd, made on the first check
    after bcd or the check's programs change; None where it cannot be made,
    and the programs then read bcd itself."""
    with _facts_lock:
        if "facts" not in _cache:
            _cache["facts"] = keep_facts()
        return _cache["facts"]


def facts_key():
    """What the kept facts depend on: bcd's data as installed, and the
    programs that take them from it."""
    digest = hashlib.sha256()
    for name in ("ie11.js", "stylesheets.js", "css_names.js", "css_selectors.js", "css_fonts.js"):
        with open(os.path.join(HERE, name), "rb") as program:
            digest.update(program.read())
    for folder in modules():
        data = os.path.join(folder, "@mdn", "browser-compat-data", "data.json")
        if os.path.exists(data):
            found = os.stat(data)
            digest.update(("%s %d %d" % (data, found.st_size, found.st_mtime_ns)).encode())
            return digest.hexdigest()[:16]
    return None


def keep_facts():
    try:
        key = facts_key()
        home = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
        root = os.path.join(home, FACTS_FOLDER)
        if key is None or not os.path.isabs(root):
            return None
        kept = os.path.join(root, key)
        if os.path.exists(os.path.join(kept, "css.json")):
            return kept
        os.makedirs(root, exist_ok=True)
        for old in glob.glob(os.path.join(root, "*")) + glob.glob(os.path.join(root, ".making-*")):
            # The facts of another bcd, or what a check that was killed was making.
            if not old.startswith(os.path.join(root, ".making-")) or \
                    time.time() - os.stat(old).st_mtime > 600:
                shutil.rmtree(old, ignore_errors=True)
        making = tempfile.mkdtemp(prefix=".making-", dir=root)
        try:
            subprocess.run([node(), os.path.join(HERE, "ie11.js"), making], env=environment(),
                           check=True, capture_output=True, timeout=120)
            os.rename(making, kept)
        except OSError:
            pass  # another check kept them first
        finally:
            shutil.rmtree(making, ignore_errors=True)
        return kept if os.path.exists(os.path.join(kept, "css.json")) else None
    except (OSError, subprocess.SubprocessError, NodeError):
        return None


def kept_lacks():
    """What IE11 lacks, as ie11.js keeps it, for a page run, which reads no
    file of the host's; None where it is not kept."""
    try:
        with open(os.path.join(facts(), "lacks.json")) as kept:
            return json.load(kept)
    except (OSError, TypeError, ValueError):
        return None


def permission_flag():
    """The flag that starts node in its permission model, or None where this
    node has no such model (Node 18): --experimental-permission before Node 22,
    --permission since. Each is tried, and the box it gives is checked."""
    if "permission" in _cache:
        return _cache["permission"]
    _cache["permission"] = None
    readable = [HERE] + modules()
    closed = ("process.exit(process.permission && !process.permission.has('fs.write') && "
              "!process.permission.has('child') && !process.permission.has('worker') && "
              "!process.permission.has('fs.read', '/etc/passwd') ? 0 : 3)")
    # Both flags are tried at once: each probe is a node start, before the
    # page's runs can start.
    probes = []
    try:
        for flag in ("--permission", "--experimental-permission"):
            flags = [flag] + ["--allow-fs-read=%s" % os.path.join(p, "*") for p in readable]
            probes.append((flag, subprocess.Popen([node(), *flags, "-e", closed],
                                                  stdout=subprocess.DEVNULL,
                                                  stderr=subprocess.DEVNULL, env=environment())))
    except (OSError, subprocess.SubprocessError, NodeError):
        pass
    for flag, probe in probes:
        try:
            held = probe.wait(30) == 0
        except subprocess.TimeoutExpired:
            probe.kill()
            probe.wait()
            held = False
        if held and _cache["permission"] is None:
            _cache["permission"] = flag
    return _cache["permission"]


def modules():
    return [os.path.realpath(p) for p in search_path() if os.path.isdir(p)]


def start(program, payload, sandbox=None, timeout=None):
    """Starts a program of this folder on payload; finish() collects it.
    sandbox: None for a program that only parses, else the host folders
    (a tuple, maybe empty) that the boxed run reads besides its own;
    timeout: the seconds a boxed run is given, and its processor time is
    limited to a little more."""
    flags = ["--max-old-space-size=%d" % HEAP_MB, "--no-warnings"] + PROGRAM_FLAGS.get(program, [])
    if sandbox is None:
        env = environment()
        if facts():
            env["PORTAL_CHECK_FACTS"] = facts()
        process = subprocess.Popen([node(), *flags, os.path.join(HERE, program)],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=env)
        return process, json.dumps(payload).encode()
    check_sandbox()
    programs = box.seen(box.programs())
    held = permission_flag()
    if held:
        flags = [held] + ["--allow-fs-read=%s" % os.path.join(p, "*")
                          for p in [programs] + [box.seen(m) for m in modules()]] + flags
    # OpenSSL's store, which SSL_CERT_FILE names, in place of node's own list.
    flags = ["--use-openssl-ca"] + flags
    env = {"NODE_PATH": os.pathsep.join(box.seen(m) for m in modules())}
    process = box.start([box.seen(node_binary()), *flags, os.path.join(programs, program)], env,
                        reads() + list(sandbox),
                        None if timeout is None else math.ceil(timeout) + box.CPU_MARGIN)
    return process, json.dumps(payload).encode()


def reads():
    """What node in a box must read: itself and its modules."""
    return modules() + [node_binary()]


def check_sandbox():
    """Makes the box once per check; box.SandboxError where it cannot."""
    box.check(reads())


def finish(started, timeout):
    """The program's output; NodeError when it fails, runs out of heap, or
    is stopped after timeout seconds."""
    process, payload = started
    try:
        out, err = process.communicate(payload, timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
        raise NodeError("stopped after %g s" % timeout, out.decode("utf-8", "replace"), True)
    except BrokenPipeError:
        out, err = process.communicate()
    output = out.decode("utf-8", "replace")
    if process.returncode != 0:
        raise failure(process, err.decode("utf-8", "replace"), output)
    return output


def failure(process, errors, output):
    """The NodeError of a program that ended with an error: errors is what it
    wrote on stderr, output on stdout."""
    if "heap out of memory" in errors or "Reached heap limit" in errors:
        return NodeError("node ran out of its %d MiB heap" % HEAP_MB, output)
    if process.returncode in (-signal.SIGXCPU, 128 + signal.SIGXCPU):
        return NodeError("node ran past its limit of processor time", output)
    if "out of memory" in errors.lower():
        return NodeError("node ran out of the sandbox's %d MiB of memory"
                         % (box.ADDRESS_SPACE >> 20), output)
    last = (errors.strip().splitlines() or ["exit code %d" % process.returncode])[-1]
    return NodeError("%s failed under %s: %s" % (program_of(process), node(), last), output)


def run(program, payload, timeout):
    return finish(start(program, payload), timeout)


def program_of(process):
    return os.path.basename(process.args[-1])


def version():
    try:
        return subprocess.run([node(), "--version"], capture_output=True, text=True,
                              timeout=30).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return "(version unknown)"
