"""The check's own folder on the host, one per check and removed when it
ends, and the copies there of what the box's user (nobody, where the check
runs as root) cannot reach where it lies: node in root's home, a checkout in
a folder only root may enter."""
import atexit
import os
import shutil
import stat
import tempfile

# The user page code runs as when the check runs as root: root is exempt from
# the per-user process limit, and its namespaces would inherit no limit.
NOBODY = 65534
# What a check makes on the host lies under one folder of its own, named by
# its process (pid@namespace) and that process's start: a check that is
# killed leaves it, and the next check removes the folders of checks that are
# gone.
CHECK_PREFIX = "portal-check-"
# The inode of the machine's own PID namespace (the kernel's PROC_PID_INIT_INO).
INITIAL_PID_NAMESPACE = 0xEFFFFFFC
# Where a copy of what the box's user cannot reach is kept, under the
# check's folder.
REACH = "reach"

_cache = {}


class SandboxError(Exception):
    """The sandbox cannot be made here: why, and what would make it."""


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


def pid_namespace():
    """The inode of the PID namespace this check runs in: a pid tells a
    running check only within its own namespace (two containers sharing one
    /tmp each have a check of pid 1)."""
    try:
        return os.stat("/proc/self/ns/pid").st_ino
    except OSError:
        return 0


def remove_stale():
    """Removes the folders of this user's checks that no longer run."""
    base = tempfile.gettempdir()
    ours = pid_namespace()
    for name in os.listdir(base):
        if not name.startswith(CHECK_PREFIX):
            continue
        path = os.path.join(base, name)
        try:
            pid, start = name[len(CHECK_PREFIX):].split("-")[:2]
            # A folder named without its namespace comes from the machine's own.
            pid, _, namespace = pid.partition("@")
            if int(namespace or INITIAL_PID_NAMESPACE) != ours:
                continue  # another namespace's check: its pid says nothing here
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
        folder = tempfile.mkdtemp(prefix="%s%d@%d-%s-" % (CHECK_PREFIX, me, pid_namespace(),
                                                          started(me)))
        os.chmod(folder, 0o711)
        atexit.register(shutil.rmtree, folder, True)
        _cache["folder"] = folder
    return _cache["folder"]


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


def unreachable(path, closed):
    """The SandboxError for a path the sandbox binds that nobody cannot
    reach, closed the folder that stops it."""
    fix = "give others search permission on it (chmod o+x %s)" % closed
    if path.startswith(os.path.join(check_folder(), "")):
        fix = "set TMPDIR to a folder that all may pass through, as /tmp"
    return SandboxError("nobody, the user the page's code runs as, cannot pass through %s "
                        "(mode %04o) to %s; %s" % (closed, stat.S_IMODE(os.stat(closed).st_mode),
                                                   path, fix))
