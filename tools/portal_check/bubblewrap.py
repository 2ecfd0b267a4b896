"""bubblewrap's box: its own user, PID, IPC, UTS, cgroup and network
namespaces (the network has only its own loopback), every capability
dropped, an empty environment, a read-only view of /usr, the check's
programs and the node modules alone, the one bundle of authorities the
check trusts, a small private /tmp, and the seccomp filter that box.py
hands it. The box it makes, and what its refusals mean.
"""
import re
import shutil

NAME = "bubblewrap"
# Inside, the check's programs are seen here, the checkout around them not
# at all; the bundle of authorities the runs trust beside them.
PROGRAMS = "/portal_check"
TRUST = "/trust"
TMP_BYTES = 4 << 20


class Refused(Exception):
    """What bubblewrap cannot make here; box.py raises it as its own."""


def seen(path, copy, programs, trust):
    """Where node in the box sees path (copy: where the box takes it from):
    the programs and the bundle where they are bound, anything else at its
    own path."""
    return {programs: PROGRAMS, trust: TRUST}.get(path, path)


def command(line, env, sources, fd, programs, trust):
    """The bwrap command line that runs line; env: all its environment;
    sources: (host source, host path) of each file or folder node reads,
    seen read-only at path; fd: a descriptor that holds the seccomp filter
    and that bwrap reads to its end."""
    if not shutil.which("bwrap"):
        raise Refused("bwrap is not installed (apt-get install bubblewrap)")
    box = ["bwrap", "--unshare-all", "--unshare-user", "--disable-userns", "--die-with-parent",
           "--new-session", "--cap-drop", "ALL",
           "--ro-bind", "/usr", "/usr", "--symlink", "usr/lib", "/lib",
           "--symlink", "usr/lib64", "/lib64", "--symlink", "usr/bin", "/bin",
           "--proc", "/proc", "--dev", "/dev", "--remount-ro", "/dev",
           "--size", str(TMP_BYTES), "--tmpfs", "/tmp"]
    for source, path in sources:
        if not path.startswith("/usr/"):
            box += ["--ro-bind", source, seen(path, source, programs, trust)]
    box.append("--clearenv")
    for name, value in env.items():
        box += ["--setenv", name, value]
    return box + ["--chdir", "/", "--seccomp", str(fd), "--"] + line


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
    """What bwrap said when it could not make the
    sandbox: the cause, with its fix where it is known."""
    quoted = "(bwrap: %s)" % said.replace("bwrap: ", "", 1)
    unreached = re.match(r"bwrap: Can't find source path (.*): Permission denied$", said)
    if unreached:
        return Refused("nobody, the user the page's code runs as, cannot reach %s %s; give "
                            "others search permission on the folders above it"
                            % (unreached.group(1), quoted))
    if "(ENOSPC)" in said or "No space left" in said:
        if sysctl("user.max_user_namespaces") == "0":
            return Refused("this machine allows no user namespaces %s; allow them: sysctl "
                                "-w user.max_user_namespaces=10000" % quoted)
        return Refused("no more user namespaces may be made here %s; run the check outside "
                            "the sandbox or container it runs in" % quoted)
    if "namespace" not in said and "Operation not permitted" not in said and \
            "Permission denied" not in said:
        return Refused(said)
    for name, refusing, allowing in USERNS_SETTINGS:
        if sysctl(name) == refusing:
            return Refused("this machine refuses user namespaces to nobody, the user the "
                                "page's code runs as, by %s=%s %s; allow them: sysctl -w %s=%s"
                                % (name, refusing, quoted, name, allowing))
    if "Can't mount proc" in said:
        return Refused("the container keeps bwrap from mounting a /proc of its own %s; in "
                            "Docker, add --security-opt systempaths=unconfined" % quoted)
    return Refused("user namespaces, or the mounts in them, are refused here %s; %s"
                        % (quoted, DOCKER))


