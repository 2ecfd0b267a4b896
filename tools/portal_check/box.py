"""The box that a page's code runs in, as every kind of box has it: what it
sees of the check's own folder on the host (host_folder.py), the one bundle
of authorities the runs trust, the seccomp filter (seccomp_filter.py), the
limits and the user each box starts under, and which box this machine can
make.

The box is bubblewrap's (bubblewrap.py), namespaces of its own; where
bubblewrap cannot make it, the box made of what the kernel grants any
process, Landlock's (landlock.py). Whichever box runs the page, it is made
before the page's code runs, or the page's code does not run at all.
"""
import glob
import importlib.util
import os
import resource
import shutil
import subprocess
import tempfile

import authorities
import bubblewrap
import landlock
from host_folder import (INITIAL_PID_NAMESPACE, NOBODY, SandboxError, check_folder,
                         closed_to_nobody, pid_namespace, unreachable, within_reach)

HERE = os.path.dirname(os.path.abspath(__file__))
# The address space: V8 reserves about 1 GiB at start (Node 20; 0.6 GiB for
# Node 18) and its heap may grow to node.HEAP_MB; memory outside the heap
# (ArrayBuffers) meets this limit instead of the machine's.
ADDRESS_SPACE = 4 << 30
# Processes and threads the box's user may start beyond those it has: a page
# run has a dozen threads or more, and all the runs of a check share the
# count, two for each of the pages checked at once (pages.py).
TASK_MARGIN = 128
# Processor time a page run may take beyond the check's time limit: a second
# layer beside the box dying with its parent, should the check be killed and
# the box not die with it (node's own threads count too).
CPU_MARGIN = 5
# The authorities the page runs trust, as one bundle; node takes it through
# OpenSSL's own variables (--use-openssl-ca), which every build of node
# reads, npm's and NodeSource's with their OpenSSL built in as well as
# Debian's.
BUNDLE = "authorities.pem"
# Each kind of box, the first this machine can make taken.
KINDS = [bubblewrap, landlock]
# The Debian package of each tool every box starts with.
MISSING = {"prlimit": "util-linux", "setpriv": "util-linux"}

_cache = {}


def seccomp_filter():
    """The filter's BPF, built once per check: here where this python3
    imports Debian's seccomp module, else by Debian's own python3."""
    if "seccomp" not in _cache:
        _cache["seccomp"] = None
        if importlib.util.find_spec("seccomp"):
            import seccomp_filter as rules
            with tempfile.TemporaryFile() as built:
                rules.build().export_bpf(built)
                built.seek(0)
                _cache["seccomp"] = built.read()
        else:
            try:
                program = os.path.join(HERE, "seccomp_filter.py")
                built = subprocess.run(["/usr/bin/python3", program], capture_output=True,
                                       timeout=30)
                if built.returncode == 0 and built.stdout:
                    _cache["seccomp"] = built.stdout
            except (OSError, subprocess.SubprocessError):
                pass
    if _cache["seccomp"] is None:
        raise SandboxError("python3-seccomp, which builds its seccomp filter, is not installed "
                           "(apt-get install python3-seccomp)")
    return _cache["seccomp"]


def filter_pipe():
    """A descriptor to read the seccomp filter from, one for each sandbox."""
    read, write = os.pipe()
    with os.fdopen(write, "wb") as pipe:
        pipe.write(seccomp_filter())  # a few hundred bytes: within the pipe's buffer
    return read


def tasks_of(uid):
    """How many processes and threads uid runs now."""
    count = 0
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/status" % entry) as status:
                fields = dict(line.split(":", 1) for line in status if ":" in line)
        except (OSError, ValueError):
            continue
        if int(fields.get("Uid", "-1 ").split()[0]) == uid:
            count += int(fields.get("Threads", "1"))
    return count


def programs():
    """A private copy of this folder's node programs, once per check: the
    sandbox's user may not reach the checkout (a root's home is closed to
    nobody), and sees no more of it than this."""
    if "programs" not in _cache:
        folder = _cache["programs"] = os.path.join(check_folder(), "programs")
        os.mkdir(folder, 0o755)
        for program in glob.glob(os.path.join(HERE, "*.js")) + [landlock.__file__]:
            shutil.copy(program, folder)
        os.chmod(folder, 0o755)
    return _cache["programs"]


def trust():
    """This check's folder of one bundle of the authorities it trusts,
    written once per check: the page runs trust these, and no others."""
    if "trust" not in _cache:
        folder = os.path.join(check_folder(), "trust")
        os.mkdir(folder, 0o755)
        with open(os.path.join(folder, BUNDLE), "wb") as bundle:
            bundle.write(b"\n".join(authorities.trusted() + [b""]))
        # OpenSSL's settings for node where /etc is out of its reach: none.
        with open(os.path.join(folder, "openssl.cnf"), "w"):
            pass
        for name in (BUNDLE, "openssl.cnf"):
            os.chmod(os.path.join(folder, name), 0o644)
        os.chmod(folder, 0o755)
        _cache["trust"] = folder
    return _cache["trust"]


def within(limit, wanted):
    """wanted, or less where the hard limit is lower: raising it takes a
    capability that a container may not grant."""
    hard = resource.getrlimit(limit)[1]
    return wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)


def tasks_limit(user):
    """The limit on user's processes and threads: those it runs now and the
    margin, counted once per check, as both runs share the margin. In a PID
    namespace of its own (a container), /proc shows only the container's
    tasks while the kernel counts the user's tasks on the whole machine (a
    root container shares the host's users), so a count from /proc could
    refuse the box its first thread: the limit stays the container's own, and
    the seccomp filter, which refuses every new process, holds a page that
    forks."""
    if "tasks" not in _cache:
        initial = pid_namespace() == INITIAL_PID_NAMESPACE
        _cache["tasks"] = tasks_of(user) + TASK_MARGIN if initial else None
    if _cache["tasks"] is None:
        hard = resource.getrlimit(resource.RLIMIT_NPROC)[1]
        return "unlimited" if hard == resource.RLIM_INFINITY else str(hard)
    return str(within(resource.RLIMIT_NPROC, _cache["tasks"]))


def limited(seconds=None):
    """The command line's start that every box begins with: its limits, and
    its user where the check runs as root (nobody, groups dropped, no new
    privileges). seconds: the processor time it may take, if limited
    (SIGXCPU then, SIGKILL a second later)."""
    for tool in ("prlimit", "setpriv"):
        if not shutil.which(tool):
            raise SandboxError("%s is not installed (apt-get install %s)" % (tool, MISSING[tool]))
    root = os.geteuid() == 0
    user = NOBODY if root else os.getuid()
    line = ["prlimit", "--as=%d" % within(resource.RLIMIT_AS, ADDRESS_SPACE),
            "--nproc=" + tasks_limit(user), "--core=0"]  # no core file for the host to keep
    if seconds:
        line.append("--cpu=%d:%d" % (within(resource.RLIMIT_CPU, seconds),
                                     within(resource.RLIMIT_CPU, seconds + 1)))
    if root:
        line += ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups",
                 "--no-new-privs"]
    return line


def reached(paths):
    """Where the box takes each of paths from: itself, or its copy that the
    box's user may reach; SandboxError where that user still cannot."""
    sources = []
    for path in dict.fromkeys(paths):
        source = within_reach(path)
        closed = os.geteuid() == 0 and closed_to_nobody(source)
        if closed:
            raise unreachable(source, closed)
        sources.append((source, path))
    return sources


def chosen():
    """The kind of box this check runs pages in: the first that check() made."""
    return _cache.get("kind", bubblewrap)


def used():
    """The name of the box that runs the page's code; None where none does."""
    return chosen().NAME if _cache.get("box") == "" else None


def seen(path):
    """Where node in the box sees a host path that the box gives it."""
    return chosen().seen(path, within_reach(path), programs(), trust())


def check(reads):
    """Makes a box once per check around true, with all it gives node to
    read (reads: host paths), the first kind this machine can make; raises
    SandboxError, with each box's own message, where none can be made."""
    if "box" not in _cache:
        said = []
        for kind in KINDS:
            _cache["kind"] = kind
            why = probe(reads)
            if not why:
                break
            if why not in said:  # what keeps both alike (a closed TMPDIR) is said once
                said.append(why)
        else:
            _cache["kind"] = KINDS[0]
        _cache["box"] = ("; nor the %s box, as " % landlock.NAME).join(said) if why else ""
    if _cache["box"]:
        raise SandboxError(_cache["box"])


def probe(reads):
    """Why the chosen kind of box cannot be made here; None where it can."""
    try:
        fd = filter_pipe()
        try:
            made = subprocess.run(command(["/usr/bin/true"], {}, reads, fd),
                                  capture_output=True, text=True, pass_fds=(fd,),
                                  stdin=subprocess.DEVNULL, timeout=30)
        finally:
            os.close(fd)
    except (SandboxError, OSError, subprocess.SubprocessError) as error:
        return str(error)
    if made.returncode == 0:
        return None
    said = (made.stderr.strip().splitlines() or ["exit code %d" % made.returncode])[-1]
    return str(chosen().refused(said))


def command(line, env, reads, fd, seconds=None):
    """The command line that runs line in the box; env: what node must have
    besides the trust bundle; fd: the descriptor the seccomp filter is read
    from."""
    env = dict(env, SSL_CERT_FILE=os.path.join(seen(trust()), BUNDLE),
               SSL_CERT_DIR=seen(trust()))
    sources = reached([programs(), trust()] + list(reads))
    try:
        return limited(seconds) + chosen().command(line, env, sources, fd, programs(), trust())
    except chosen().Refused as error:
        raise SandboxError(str(error))


def start(line, env, reads, seconds=None):
    """Starts line in the box, with pipes for its three streams."""
    fd = filter_pipe()
    try:
        # The tools before the box need no more of the check's environment than this.
        return subprocess.Popen(command(line, env, reads, fd, seconds), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, pass_fds=(fd,),
                                env={"PATH": os.environ.get("PATH", os.defpath)})
    finally:
        os.close(fd)
