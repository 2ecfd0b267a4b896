#!/usr/bin/python3
"""Writes, on stdout, the seccomp filter (BPF) that the box of a page run
loads (bwrap --seccomp, or landlock.py itself): every system call is allowed
except those a page run never needs, which fail with EPERM, as Flatpak's
filter has them.

Run by box.py with whichever python3 imports Debian's python3-seccomp
(`/usr/bin/python3` where the first in PATH does not see it).
"""
import errno
import socket
import sys

import seccomp

# What a node process never needs and what breaks out of or reaches past a
# sandbox: tracing, mounts and namespaces, the kernel's keyring, eBPF and
# perf events, userfaultfd (a tool of kernel exploits), loading or switching
# kernels, accounting, swap, the clock, the host's name, file handles that
# bypass the mount tree, other processes' memory, io_uring (which runs calls
# past this very filter).
REFUSED = [
    "ptrace", "process_vm_readv", "process_vm_writev", "kcmp", "pidfd_getfd",
    "mount", "umount", "umount2", "pivot_root", "chroot", "move_mount", "open_tree", "fsopen",
    "fsconfig", "fsmount", "fspick", "mount_setattr", "unshare", "setns",
    "keyctl", "add_key", "request_key", "bpf", "perf_event_open", "userfaultfd",
    "kexec_load", "kexec_file_load", "init_module", "finit_module", "delete_module",
    "acct", "swapon", "swapoff", "reboot", "syslog", "quotactl", "quotactl_fd",
    "open_by_handle_at", "name_to_handle_at", "lookup_dcookie", "uselib", "vhangup",
    "iopl", "ioperm", "settimeofday", "clock_settime", "clock_adjtime", "adjtimex",
    "sethostname", "setdomainname", "fanotify_init", "io_uring_setup", "io_uring_enter",
    "io_uring_register",
    # No new process: a page that forks without end has nothing to fork with.
    "fork", "vfork",
]
CLONE_THREAD = 0x00010000
CLONE_NEW = {"CLONE_NEWNS": 0x00020000, "CLONE_NEWCGROUP": 0x02000000,
             "CLONE_NEWUTS": 0x04000000, "CLONE_NEWIPC": 0x08000000,
             "CLONE_NEWUSER": 0x10000000, "CLONE_NEWPID": 0x20000000,
             "CLONE_NEWNET": 0x40000000}
# Terminal ioctls that type into, or read, the controlling terminal.
TIOCSTI, TIOCLINUX = 0x5412, 0x541C
# The execution domain stays Linux's own (which also refuses the query,
# 0xffffffff, as Flatpak does: node does not ask).
PER_LINUX = 0


def build():
    refuse = seccomp.ERRNO(errno.EPERM)
    rules = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
    for name in REFUSED:
        try:
            rules.add_rule(refuse, name)
        except (RuntimeError, ValueError):
            continue  # a call this kernel's headers do not know
    # clone makes threads only: a new process or new namespaces are refused.
    rules.add_rule(refuse, "clone", seccomp.Arg(0, seccomp.MASKED_EQ, CLONE_THREAD, 0))
    for flag in CLONE_NEW.values():
        rules.add_rule(refuse, "clone", seccomp.Arg(0, seccomp.MASKED_EQ, flag, flag))
    # clone3 passes its flags in memory, out of a filter's sight: ENOSYS
    # makes glibc fall back to clone for its threads.
    rules.add_rule(seccomp.ERRNO(errno.ENOSYS), "clone3")
    for request in (TIOCSTI, TIOCLINUX):
        rules.add_rule(refuse, "ioctl", seccomp.Arg(1, seccomp.MASKED_EQ, 0xFFFFFFFF, request))
    rules.add_rule(refuse, "personality", seccomp.Arg(0, seccomp.NE, PER_LINUX))
    # A socket of Unix's family alone, the proxy's: no UDP, raw or netlink
    # socket, and no TCP where no network namespace holds it (Landlock's box).
    rules.add_rule(seccomp.ERRNO(errno.EACCES), "socket",
                   seccomp.Arg(0, seccomp.NE, socket.AF_UNIX))
    return rules


if __name__ == "__main__":
    build().export_bpf(sys.stdout)
