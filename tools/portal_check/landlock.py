#!/usr/bin/python3
"""The box made of what the kernel grants any process, for where bubblewrap
cannot make its own (user namespaces refused, as Docker's default seccomp
profile and Ubuntu 24.04 refuse them, or a /proc of its own refused, as in a
default Podman or Docker container): the limits and the user of every box
(box.py), then, in the process itself before it becomes node, Landlock, the
seccomp filter, a session of its own and an empty environment.

Landlock, as far as this kernel's version of it goes: files may be read and
run only beneath /usr and the paths box.py gives (node, its modules, the
check's programs, the bundle of authorities), written nowhere; /proc is out
of reach; no TCP port may be bound or connected to (version 4); abstract
Unix sockets and signals reach nothing outside the box (version 6). The
seccomp filter refuses a socket of any family but Unix's, so no UDP, raw or
netlink socket either.

Without a mount namespace, node sees every path at its host path: the
copies in the check's folder where nobody cannot reach the original.

Run as `/usr/bin/python3 landlock.py RULES COMMAND...` (its copy among the
programs, which nobody may read): RULES is JSON, {"read": [paths], "env":
{name: value}, "fd": the descriptor to read the seccomp filter from,
"parent": the check's pid}.
"""
import ctypes
import errno
import json
import os
import struct
import sys

NAME = "Landlock"
# Debian's own python3, which nobody reaches wherever the check runs, with
# neither the user's site nor the environment's variables.
PYTHON = ["/usr/bin/python3", "-I", "-S"]
CREATE_RULESET, ADD_RULE, RESTRICT_SELF = 444, 445, 446
CREATE_RULESET_VERSION = 1
RULE_PATH_BENEATH = 1
PR_SET_NO_NEW_PRIVS, PR_SET_SECCOMP, PR_SET_PDEATHSIG = 38, 22, 1
SECCOMP_MODE_FILTER = 2
# File rights: run, write, read, list; then those that make and remove, and
# REFER (version 2), TRUNCATE (3), IOCTL_DEV (5).
EXECUTE, WRITE_FILE, READ_FILE, READ_DIR = 1, 2, 4, 8
FILE_RIGHTS = {1: (1 << 13) - 1, 2: (1 << 14) - 1, 3: (1 << 15) - 1, 5: (1 << 16) - 1}
NET_TCP = 3  # BIND_TCP | CONNECT_TCP, from version 4
SCOPES = 3  # ABSTRACT_UNIX_SOCKET | SIGNAL, from version 6


class Refused(Exception):
    """What the Landlock box cannot make here; box.py raises it as its own."""


def seen(path, copy, programs, trust):
    """Where node in the box sees path: where the box takes it from."""
    return copy


def command(line, env, sources, fd, programs, trust):
    """The command line that runs line in the box; env: all its environment;
    sources: (host source, host path) of each file or folder node reads."""
    if not os.access(PYTHON[0], os.X_OK):
        raise Refused("%s, which makes the Landlock box, is not installed" % PYTHON[0])
    rules = {"read": [source for source, _ in sources], "fd": fd, "parent": os.getpid(),
             "env": dict(env, OPENSSL_CONF=os.path.join(trust, "openssl.cnf"))}
    return PYTHON + [os.path.join(programs, "landlock.py"), json.dumps(rules)] + line


def refused(said):
    """What the launcher said when it could not make the box."""
    return Refused(said.replace("landlock: ", "", 1))


def failed(call):
    """The OSError of a call that failed, in words."""
    number = ctypes.get_errno()
    return OSError(number, "%s: %s" % (call, os.strerror(number)))


def version(libc):
    """This kernel's version of Landlock; 0 where it has none."""
    found = libc.syscall(CREATE_RULESET, None, 0, CREATE_RULESET_VERSION)
    return max(found, 0)


def ruleset(libc, abi):
    """A Landlock ruleset handling every right this version knows."""
    fs = FILE_RIGHTS[max(v for v in FILE_RIGHTS if v <= abi)]
    fields, size = [fs], 8
    if abi >= 4:
        fields, size = [fs, NET_TCP], 16
    if abi >= 6:
        fields, size = [fs, NET_TCP, SCOPES], 24
    attr = ctypes.create_string_buffer(struct.pack("%dQ" % len(fields), *fields), size)
    fd = libc.syscall(CREATE_RULESET, attr, size, 0)
    if fd < 0:
        raise failed("landlock_create_ruleset")
    return fd


def allow(libc, ruleset_fd, path):
    """Read and execute beneath path (a file takes only the file rights)."""
    try:
        opened = os.open(path, os.O_PATH | os.O_CLOEXEC)
    except OSError:
        return  # as /lib64 on a machine without it: nothing to read there
    try:
        rights = EXECUTE | READ_FILE | (0 if not os.path.isdir(path) else READ_DIR)
        beneath = ctypes.create_string_buffer(struct.pack("=Qi", rights, opened), 12)
        if libc.syscall(ADD_RULE, ruleset_fd, RULE_PATH_BENEATH, beneath, 0) != 0:
            raise failed("landlock_add_rule " + path)
    finally:
        os.close(opened)


def restrict(libc, reads):
    abi = version(libc)
    if abi < 1:
        raise OSError(errno.ENOSYS, "this kernel has no Landlock (it came with Linux 5.13)")
    ruleset_fd = ruleset(libc, abi)
    # Of /proc, what node counts the processors by (os.cpus(), which jsdom
    # gives pages as navigator.hardwareConcurrency), as bubblewrap's box has it.
    for path in ["/usr", "/lib", "/lib64", "/proc/stat", "/proc/cpuinfo"] + reads:
        allow(libc, ruleset_fd, path)
    if libc.syscall(RESTRICT_SELF, ruleset_fd, 0) != 0:
        raise failed("landlock_restrict_self")
    os.close(ruleset_fd)


def filtered(libc, fd):
    """Loads the seccomp filter read from fd, BPF as libseccomp exports it."""
    with os.fdopen(fd, "rb") as pipe:
        code = ctypes.create_string_buffer(pipe.read())
    program = struct.pack("HL", len(code.raw) // 8, ctypes.addressof(code))
    if libc.prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.c_char_p(program), 0, 0) != 0:
        raise failed("seccomp")


def enter(rules, line):
    """Makes the box around this process, then becomes line."""
    libc = ctypes.CDLL(None, use_errno=True)
    # Dies with the check, as bwrap's --die-with-parent; a check gone already
    # has left this process to another parent (not always pid 1: the check
    # itself is pid 1 in a container that runs it as its command).
    libc.prctl(PR_SET_PDEATHSIG, 9, 0, 0, 0)
    if os.getppid() != rules["parent"]:
        sys.exit(1)
    # Off the check's terminal: no TIOCSTI into it either way.
    os.setsid()
    os.chdir("/")
    if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0:
        raise failed("no_new_privs")
    restrict(libc, rules["read"])
    filtered(libc, rules["fd"])
    os.execve(line[0], line, rules["env"])


def main():
    try:
        enter(json.loads(sys.argv[1]), sys.argv[2:])
    except (OSError, ValueError, IndexError, KeyError) as error:
        sys.stderr.write("landlock: %s\n" % (getattr(error, "strerror", None) or error))
        sys.exit(126)


if __name__ == "__main__":
    main()
