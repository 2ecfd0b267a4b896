"""Runs the node programs beside this file: each reads one JSON payload on
stdin and writes its findings on stdout.

A program that runs the page's own code (run_page.js) runs in a sandbox that
the operating system holds, made with bubblewrap: its own user, PID, IPC, UTS,
cgroup and network namespaces (the network has only its own loopback), under
an unprivileged user of the machine (nobody, when the check runs as root),
every capability dropped and no new privileges, an empty environment, a
read-only view of /usr, this folder and the node modules alone (copied
under the check's own folder where that user cannot reach them), the
certificate authorities the check trusts as one bundle, a small private
/tmp, and a seccomp filter (seccomp_filter.py) that refuses what a
page run never needs, new processes among it. Limits on its address space
and on its user's processes hold a page that allocates or forks without end.
jsdom is no sandbox: page code reaches Node's process object through the
constructor chain, and this is what holds it then. Inside, Node's permission
model, where this node has it, is a second layer. Where the sandbox cannot be
made, page code does not run at all.
"""
import atexit
import glob
import hashlib
import importlib.util
import json
import math
import os
import re
import resource
import shutil
import signal
import ssl
import stat
import subprocess
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# Debian keeps the node modules here; its own node finds them without being
# told, other builds of node do not.
MODULES = "/usr/share/nodejs"
# Each node process's heap, in MiB: enough for a 20 MB script's syntax tree,
# and a page that wants more is told so rather than taking the machine.
HEAP_MB = 1536
# The sandbox's address space: V8 reserves about 1 GiB at start (Node 20;
# 0.6 GiB for Node 18) and the heap above may grow to HEAP_MB; memory
# outside the heap (ArrayBuffers) meets this limit instead of the machine's.
ADDRESS_SPACE = 4 << 30
# The user page code runs as when the check runs as root: root is exempt from
# the per-user process limit, and its namespaces would inherit no limit.
NOBODY = 65534
# Processes and threads the sandbox's user may start beyond those it has:
# a page run has a dozen threads, and both runs share the count.
TASK_MARGIN = 64
# Processor time a page run may take beyond the check's time limit: a second
# layer beside --die-with-parent, should the check be killed and the sandbox
# not die with it (node's own threads count too).
CPU_MARGIN = 5
# Inside the sandbox this folder's programs are seen here, the checkout around
# them not at all.
INSIDE = "/portal_check"
TMP_BYTES = 4 << 20
# What a check makes on the host lies under one folder of its own, named by
# its process and that process's start: a check that is killed leaves it, and
# the next check removes the folders of checks that are gone.
CHECK_PREFIX = "portal-check-"
# The authorities the page runs trust, as one bundle seen here inside; node
# takes it through OpenSSL's own variables (--use-openssl-ca), which every
# build of node reads, npm's and NodeSource's with their OpenSSL built in as
# well as Debian's.
TRUST_INSIDE = "/trust"
BUNDLE = "authorities.pem"
CERTIFICATE = re.compile(rb"-----BEGIN (?:TRUSTED )?CERTIFICATE-----.+?"
                         rb"-----END (?:TRUSTED )?CERTIFICATE-----", re.S)
# The names OpenSSL looks certificates up by in a folder (c_rehash's).
HASHED = re.compile(r"[0-9a-f]{8}\.[0-9]+")
# Where a copy of what the sandbox's user cannot reach is kept, under the
# check's folder.
REACH = "reach"
# The Debian package of each tool the sandbox is made with.
MISSING = {"bwrap": "bubblewrap", "prlimit": "util-linux", "setpriv": "util-linux"}


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
    """The node binary itself, links followed: /etc/alternatives is not in the sandbox."""
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
    for name in ("ie11.js", "stylesheets.js"):
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


class SandboxError(Exception):
    """The sandbox cannot be made here: why, and what would make it."""


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


def started(pid):
    """When process pid started (clock ticks since boot), or None when there
    is no such process: with the pid, it tells a running check from a new
    process that took the pid of one that is gone."""
    try:
        with open("/proc/%d/stat" % pid) as line:
            # The name in parentheses may hold spaces and parentheses itself.
            return line.read().rpartition(")")[2].split()[19]
    except (OSError, IndexError):
        return None


def remove_stale():
    """Removes the folders of this user's checks that no longer run."""
    base = tempfile.gettempdir()
    for name in os.listdir(base):
        if not name.startswith(CHECK_PREFIX):
            continue
        path = os.path.join(base, name)
        try:
            pid, start = name[len(CHECK_PREFIX):].split("-")[:2]
            info = os.lstat(path)
            running = started(int(pid)) == start
        except (ValueError, OSError):
            continue
        if stat.S_ISDIR(info.st_mode) and info.st_uid == os.geteuid() and not running:
            shutil.rmtree(path, ignore_errors=True)


def check_folder():
    """This check's own folder, made on first use and removed when it ends.
    The sandbox's user may pass through it to what it is given, and list
    nothing."""
    if "folder" not in _cache:
        remove_stale()
        me = os.getpid()
        folder = tempfile.mkdtemp(prefix="%s%d-%s-" % (CHECK_PREFIX, me, started(me)))
        os.chmod(folder, 0o711)
        atexit.register(shutil.rmtree, folder, True)
        _cache["folder"] = folder
    return _cache["folder"]


def programs():
    """A private copy of this folder's node programs, once per check: the
    sandbox's user may not reach the checkout (a root's home is closed to
    nobody), and sees no more of it than this."""
    if "programs" not in _cache:
        folder = _cache["programs"] = os.path.join(check_folder(), "programs")
        os.mkdir(folder, 0o755)
        for program in glob.glob(os.path.join(HERE, "*.js")):
            shutil.copy(program, folder)
        os.chmod(folder, 0o755)
    return _cache["programs"]


def permits(info, wanted):
    """Whether nobody, in its own group alone, has the wanted bits (4 read,
    1 search or execute) on a file of info (os.stat's)."""
    if info.st_uid == NOBODY:
        bits = info.st_mode >> 6
    elif info.st_gid == NOBODY:
        bits = info.st_mode >> 3
    else:
        bits = info.st_mode
    return bits & wanted == wanted


def closed_to_nobody(path):
    """The first folder above path, or path itself, that nobody cannot pass
    or read; None where nobody reaches path."""
    path = os.path.realpath(path)
    parts = path.split(os.sep)
    for end in range(1, len(parts)):
        folder = os.sep.join(parts[:end]) or os.sep
        if not permits(os.stat(folder), 0o1):
            return folder
    return None if permits(os.stat(path), 0o5) else path


def within_reach(path):
    """Where the sandbox takes path from: path itself where its user may
    reach it, else a copy under this check's folder, made once per check
    (bwrap, run as nobody, cannot bind what nobody cannot reach: node in
    root's home, a checkout in a folder only root may enter)."""
    if os.geteuid() != 0 or not closed_to_nobody(path) or \
            path.startswith(os.path.join(check_folder(), "")):
        return path  # a copy in the check's folder would be no nearer
    copies = _cache.setdefault("copies", {})
    if path not in copies:
        copy = os.path.join(check_folder(), REACH) + os.path.realpath(path)
        try:
            mirror(path, copy)
        except OSError as error:
            raise SandboxError("nobody, the user the page's code runs as, cannot reach %s, and "
                               "it cannot be copied where nobody may (%s)" % (path, error))
        copies[path] = copy
    return copies[path]


def folders(path):
    """Makes path and the folders above it that are missing, each one that
    nobody may pass through and read."""
    if os.path.isdir(path):
        return
    folders(os.path.dirname(path))
    os.mkdir(path)
    os.chmod(path, 0o755)


def mirror(source, copy):
    """Makes copy hold what source holds, a file or a folder's tree, each
    file readable by nobody: linked where its own mode lets nobody read it
    and the file system allows, else copied; links are kept as links."""
    folders(os.path.dirname(copy))
    if not os.path.isdir(source):
        place(source, copy)
        return
    for folder, subfolders, files in os.walk(source):
        inside = copy + folder[len(source):]
        folders(inside)
        for name in files + subfolders:
            original = os.path.join(folder, name)
            if os.path.islink(original):
                os.symlink(os.readlink(original), os.path.join(inside, name))
            elif name in files:
                place(original, os.path.join(inside, name))


def place(source, copy):
    """A hard link to source at copy, or a copy readable by all."""
    info = os.stat(source)
    if not stat.S_ISREG(info.st_mode):
        return  # a socket or a pipe: nothing node loads
    executable = info.st_mode & 0o111
    if permits(info, 0o5 if executable else 0o4):
        try:
            os.link(source, copy)
            return
        except OSError:
            pass  # another file system, or links refused: a copy will do
    shutil.copyfile(source, copy)
    os.chmod(copy, 0o755 if executable else 0o644)


def trusted():
    """The certificates that the check's own fetches trust (Python's default
    context: OpenSSL's file and folders, or SSL_CERT_FILE and SSL_CERT_DIR
    where they are set), each once, in PEM."""
    paths = ssl.get_default_verify_paths()
    files = [paths.cafile] if paths.cafile else []
    # OpenSSL takes several folders, as PATH does; Python tells only one.
    for folder in os.environ.get(paths.openssl_capath_env, paths.openssl_capath).split(":"):
        try:
            files += [os.path.join(folder, name) for name in sorted(os.listdir(folder))
                      if HASHED.fullmatch(name)]
        except OSError:
            continue
    found = {}
    for name in files:
        try:
            with open(name, "rb") as certificates:
                found.update(dict.fromkeys(CERTIFICATE.findall(certificates.read())))
        except OSError:
            continue
    return list(found)


def trust():
    """This check's folder of one bundle of the authorities it trusts,
    written once per check: the page runs trust these, and no others."""
    if "trust" not in _cache:
        folder = os.path.join(check_folder(), "trust")
        os.mkdir(folder, 0o755)
        with open(os.path.join(folder, BUNDLE), "wb") as bundle:
            bundle.write(b"\n".join(trusted() + [b""]))
        os.chmod(os.path.join(folder, BUNDLE), 0o644)
        os.chmod(folder, 0o755)
        _cache["trust"] = folder
    return _cache["trust"]


def unreachable(path, closed):
    """The SandboxError for a path the sandbox binds that nobody cannot
    reach, closed the folder that stops it."""
    fix = "give others search permission on it (chmod o+x %s)" % closed
    if path.startswith(os.path.join(check_folder(), "")):
        fix = "set TMPDIR to a folder that all may pass through, as /tmp"
    return SandboxError("nobody, the user the page's code runs as, cannot pass through %s "
                        "(mode %04o) to %s; %s" % (closed, stat.S_IMODE(os.stat(closed).st_mode),
                                                   path, fix))


def within(limit, wanted):
    """wanted, or less where the hard limit is lower: raising it takes a
    capability that a container may not grant."""
    hard = resource.getrlimit(limit)[1]
    return wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)


def sandboxed(command, filter_fd, binds=(), seconds=None):
    """The command line that runs command in the sandbox; filter_fd is a
    descriptor that holds the seccomp filter and that bwrap reads to its end.
    binds: more host folders, seen read-only at their own paths; seconds: the
    processor time it may take, if limited (SIGXCPU then, SIGKILL a second
    later)."""
    for tool in ("prlimit", "setpriv", "bwrap"):
        if not shutil.which(tool):
            raise SandboxError("%s is not installed (apt-get install %s)" % (tool, MISSING[tool]))
    root = os.geteuid() == 0
    user = NOBODY if root else os.getuid()
    if "tasks" not in _cache:  # once per check: both runs share the margin
        _cache["tasks"] = tasks_of(user)
    line = ["prlimit", "--as=%d" % within(resource.RLIMIT_AS, ADDRESS_SPACE),
            "--nproc=%d" % within(resource.RLIMIT_NPROC, _cache["tasks"] + TASK_MARGIN),
            "--core=0"]  # no core file of a page's node for the host to keep
    if seconds:
        line.append("--cpu=%d:%d" % (within(resource.RLIMIT_CPU, seconds),
                                     within(resource.RLIMIT_CPU, seconds + 1)))
    if root:
        line += ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups",
                 "--no-new-privs"]
    line += ["bwrap", "--unshare-all", "--unshare-user", "--disable-userns", "--die-with-parent",
             "--new-session", "--cap-drop", "ALL",
             "--ro-bind", "/usr", "/usr", "--symlink", "usr/lib", "/lib",
             "--symlink", "usr/lib64", "/lib64", "--symlink", "usr/bin", "/bin",
             "--proc", "/proc", "--dev", "/dev", "--remount-ro", "/dev",
             "--size", str(TMP_BYTES), "--tmpfs", "/tmp"]
    outside_usr = [p for p in modules() + [node_binary()] + list(binds)
                   if not p.startswith("/usr/")]
    sources = [(programs(), INSIDE), (trust(), TRUST_INSIDE)] + \
        [(within_reach(path), path) for path in dict.fromkeys(outside_usr)]
    for source, path in sources:
        closed = root and closed_to_nobody(source)
        if closed:
            raise unreachable(source, closed)
        line += ["--ro-bind", source, path]
    line += ["--clearenv", "--setenv", "NODE_PATH", os.pathsep.join(modules()),
             "--setenv", "SSL_CERT_FILE", os.path.join(TRUST_INSIDE, BUNDLE),
             "--setenv", "SSL_CERT_DIR", TRUST_INSIDE, "--chdir", "/",
             "--seccomp", str(filter_fd), "--"]
    return line + command


def filter_pipe():
    """A descriptor to read the seccomp filter from, one for each sandbox."""
    read, write = os.pipe()
    with os.fdopen(write, "wb") as pipe:
        pipe.write(seccomp_filter())  # a few hundred bytes: within the pipe's buffer
    return read


def sysctl(name):
    """A kernel setting as its file under /proc/sys holds it, or None where
    this kernel has no such setting."""
    try:
        with open("/proc/sys/" + name.replace(".", "/")) as setting:
            return setting.read().strip()
    except OSError:
        return None


# Kernel settings that refuse user namespaces to an unprivileged user: the
# value that refuses them, and the value that allows them.
USERNS_SETTINGS = [("kernel.unprivileged_userns_clone", "0", "1"),  # Debian's own patch
                   ("kernel.apparmor_restrict_unprivileged_userns", "1", "0")]  # Ubuntu 23.10+
# Docker's default seccomp profile refuses new user namespaces, and its
# AppArmor profile the mounts in them.
DOCKER = ("in Docker, run the container with --security-opt seccomp=unconfined "
          "--security-opt apparmor=unconfined")


def refused(said):
    """The SandboxError for what bwrap said when it could not make the
    sandbox: the cause, with its fix where it is known."""
    quoted = "(bwrap: %s)" % said.replace("bwrap: ", "", 1)
    unreached = re.match(r"bwrap: Can't find source path (.*): Permission denied$", said)
    if unreached:
        return SandboxError("nobody, the user the page's code runs as, cannot reach %s %s; give "
                            "others search permission on the folders above it"
                            % (unreached.group(1), quoted))
    if "(ENOSPC)" in said or "No space left" in said:
        if sysctl("user.max_user_namespaces") == "0":
            return SandboxError("this machine allows no user namespaces %s; allow them: sysctl "
                                "-w user.max_user_namespaces=10000" % quoted)
        return SandboxError("no more user namespaces may be made here %s; run the check outside "
                            "the sandbox or container it runs in" % quoted)
    if "namespace" not in said and "Operation not permitted" not in said and \
            "Permission denied" not in said:
        return SandboxError(said)
    for name, refusing, allowing in USERNS_SETTINGS:
        if sysctl(name) == refusing:
            return SandboxError("this machine refuses user namespaces to nobody, the user the "
                                "page's code runs as, by %s=%s %s; allow them: sysctl -w %s=%s"
                                % (name, refusing, quoted, name, allowing))
    if "Can't mount proc" in said:
        return SandboxError("the container keeps bwrap from mounting a /proc of its own %s; in "
                            "Docker, add --security-opt systempaths=unconfined" % quoted)
    return SandboxError("user namespaces, or the mounts in them, are refused here %s; %s"
                        % (quoted, DOCKER))


def check_sandbox():
    """Makes the sandbox once per check, with all its binds and its filter,
    around true (node itself adds some 50 ms); raises SandboxError with
    bwrap's own message where it cannot."""
    if "sandbox" not in _cache:
        _cache["sandbox"] = None
        try:
            fd = filter_pipe()
            try:
                probe = subprocess.run(sandboxed(["/usr/bin/true"], fd),
                                       capture_output=True, text=True, pass_fds=(fd,),
                                       stdin=subprocess.DEVNULL, timeout=30)
            finally:
                os.close(fd)
            if probe.returncode != 0:
                said = (probe.stderr.strip().splitlines() or
                        ["exit code %d" % probe.returncode])[-1]
                raise refused(said)
        except SandboxError as error:
            _cache["sandbox"] = str(error)
        except (OSError, subprocess.SubprocessError, NodeError) as error:
            _cache["sandbox"] = str(error)
    if _cache["sandbox"]:
        raise SandboxError(_cache["sandbox"])


# The stylesheets check walks each rule once: V8's optimizing compiler
# spends more processor time on its code than it saves (0.45 s against 0.27 s
# on a 385 KB template's sheets), and the check's programs share two cores.
PROGRAM_FLAGS = {"stylesheets.js": ["--no-opt"]}


def start(program, payload, sandbox=None, timeout=None):
    """Starts a program of this folder on payload; finish() collects it.
    sandbox: None for a program that only parses, else the host folders
    (a tuple, maybe empty) that the sandboxed run sees besides its own;
    timeout: the seconds a sandboxed run is given, and its processor time
    is limited to a little more."""
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
    held = permission_flag()
    if held:
        flags = [held] + ["--allow-fs-read=%s" % os.path.join(p, "*")
                          for p in [INSIDE] + modules()] + flags
    # OpenSSL's store, which SSL_CERT_FILE names, in place of node's own list.
    flags = ["--use-openssl-ca"] + flags
    fd = filter_pipe()
    try:
        # The tools before bwrap need no more of the check's environment than this.
        process = subprocess.Popen(
            sandboxed([node_binary(), *flags, os.path.join(INSIDE, program)], fd, sandbox,
                      None if timeout is None else math.ceil(timeout) + CPU_MARGIN),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            pass_fds=(fd,), env={"PATH": os.environ.get("PATH", os.defpath)})
    finally:
        os.close(fd)
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
                         % (ADDRESS_SPACE >> 20), output)
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
