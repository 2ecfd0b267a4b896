"""Runs the node programs beside this file: each reads one JSON payload on
stdin and writes its findings on stdout.

A program that runs the page's own code runs boxed, in Node's permission
model: it may read this folder and the node modules and nothing else, write
nothing, and start no process and no worker. jsdom, which runs the page,
is no sandbox: page code can reach Node's process object through the
constructor chain, and the box is what holds it then, for files and
processes (not for the network). Node has the model from 20 on; where it
has none, such a program does not run at all.
"""
import json
import os
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
# Debian keeps the node modules here; its own node finds them without being
# told, other builds of node do not.
MODULES = "/usr/share/nodejs"
# Each node process's heap, in MiB: enough for a 20 MB script's syntax tree,
# and a page that wants more is told so rather than taking the machine.
HEAP_MB = 1536


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


def environment():
    # NODE_OPTIONS could widen the box; the programs take nothing from it.
    clean = {name: value for name, value in os.environ.items() if name != "NODE_OPTIONS"}
    clean["NODE_PATH"] = os.pathsep.join(search_path())
    return clean


_box = {}


def box():
    """The flags that start node in its permission model with this folder and
    the modules readable, or None where this node has no such model. The
    flag was --experimental-permission before Node 22 and --permission
    since; each is tried and the box it gives is checked."""
    if "flags" in _box:
        return _box["flags"]
    _box["flags"] = None
    readable = [HERE] + [os.path.realpath(p) for p in search_path() if os.path.isdir(p)]
    closed = ("process.exit(process.permission && !process.permission.has('fs.write') && "
              "!process.permission.has('child') && !process.permission.has('worker') && "
              "!process.permission.has('fs.read', '/etc/passwd') ? 0 : 3)")
    for flag in ("--permission", "--experimental-permission"):
        flags = [flag] + ["--allow-fs-read=%s" % os.path.join(p, "*") for p in readable]
        try:
            probe = subprocess.run([node(), *flags, "-e", closed], capture_output=True,
                                   env=environment(), timeout=30)
        except (OSError, subprocess.SubprocessError, NodeError):
            break
        if probe.returncode == 0:
            _box["flags"] = flags
            break
    return _box["flags"]


def start(program, payload, boxed=False):
    """Starts a program of this folder on payload; finish() collects it."""
    flags = ["--max-old-space-size=%d" % HEAP_MB, "--no-warnings"]
    if boxed:
        held = box()
        if held is None:
            raise NodeError("node %s has no permission model" % version())
        flags = held + flags
    process = subprocess.Popen([node(), *flags, os.path.join(HERE, program)],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=environment())
    return process, json.dumps(payload).encode()


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
    errors = err.decode("utf-8", "replace")
    if process.returncode != 0:
        if "heap out of memory" in errors or "Reached heap limit" in errors:
            raise NodeError("node ran out of its %d MiB heap" % HEAP_MB, output)
        last = (errors.strip().splitlines() or ["exit code %d" % process.returncode])[-1]
        raise NodeError("%s failed under %s: %s" % (program_of(process), node(), last), output)
    return output


def run(program, payload, timeout, boxed=False):
    return finish(start(program, payload, boxed), timeout)


def program_of(process):
    return os.path.basename(process.args[-1])


def version():
    try:
        return subprocess.run([node(), "--version"], capture_output=True, text=True,
                              timeout=30).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return "(version unknown)"
