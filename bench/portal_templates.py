#!/usr/bin/env python3
"""Times the portal check on published site templates, served exactly as
they ship: each template's package is fetched once at an exact version with
`npm pack` into build/template-cache, unpacked, and its folder served on a
loopback port with one of its pages as the start page "/" (the statistics
page is left to 404). Prints each page's median, fastest and slowest wall
time and its median processor time, the size and count of its scripts, how
often each verdict came, and the scripts and stylesheets lines of its last
round; then the median over the pages and the machine's load. Figures, not a
test: nothing fails when a check is slow.

Usage: portal_templates.py [--rounds N] [--only NAME] [--commit COMMIT]
(default 3 rounds; --only takes part of a page's name and may be repeated;
with COMMIT, the check as it was there runs in alternation with today's)
"""
import argparse
import atexit
import functools
import html.parser
import http.server
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from urllib.parse import urljoin, urlsplit

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
CACHE = os.path.join(SOURCE, "build", "template-cache")

# name: (package@version, start page inside the package). The start page is
# served as "/", so its relative addresses ("vendor/...", "../vendors/...")
# resolve inside the package as they do beside the page.
# Each package ships every script and stylesheet of its own that its page
# names (admin-lte 3.x does not: its plugins come as npm dependencies, so its
# 2.4 line stands for the large admin template; the start-bootstrap landing
# pages from 6.0 on load their vendors from CDNs, so their 5.x lines serve).
TEMPLATES = {
    "sb-admin-2 index": ("startbootstrap-sb-admin-2@4.1.4", "index.html"),
    "sb-admin-2 charts": ("startbootstrap-sb-admin-2@4.1.4", "charts.html"),
    "sb-admin-2 tables": ("startbootstrap-sb-admin-2@4.1.4", "tables.html"),
    "admin-lte 2 index": ("admin-lte@2.4.18", "index.html"),
    "admin-lte 2 inline charts": ("admin-lte@2.4.18", "pages/charts/inline.html"),
    "adminbsb index": ("adminbsb-materialdesign@1.0.7", "index.html"),
    "gentelella index": ("gentelella@1.4.0", "production/index.html"),
    "creative": ("startbootstrap-creative@5.1.8", "index.html"),
    "agency": ("startbootstrap-agency@5.2.2", "index.html"),
    "freelancer": ("startbootstrap-freelancer@5.1.3", "index.html"),
}


def package(pinned, cache=CACHE):
    """The unpacked folder of pinned (name@version), packed and unpacked once
    into cache."""
    os.makedirs(cache, exist_ok=True)
    name, version = pinned.rsplit("@", 1)
    folder = os.path.join(cache, "%s-%s" % (name, version))
    if not os.path.exists(os.path.join(folder, "package", "package.json")):
        os.makedirs(folder, exist_ok=True)
        try:
            subprocess.run(["npm", "pack", "--silent", pinned], cwd=cache, check=True,
                           capture_output=True, timeout=600)
            subprocess.run(["tar", "xzf", "%s-%s.tgz" % (name, version), "-C", folder],
                           cwd=cache, check=True, capture_output=True)
        except (OSError, subprocess.SubprocessError) as error:
            shutil.rmtree(folder, True)
            said = getattr(error, "stderr", b"") or b""
            sys.exit("%s cannot be fetched with npm pack: %s %s" % (
                pinned, error, said.decode(errors="replace").strip()[-500:]))
    return os.path.join(folder, "package")


class Scripts(html.parser.HTMLParser):
    """The page's script elements, as (src or None, inline text); what sits in
    comments (IE's conditional comments too) is left out, as IE11 leaves it."""

    def __init__(self):
        super().__init__()
        self.found, self.inline = [], None

    def handle_starttag(self, tag, attributes):
        if tag == "script":
            src = dict(attributes).get("src")
            self.found.append([src, ""])
            self.inline = None if src else self.found[-1]

    def handle_data(self, data):
        if self.inline is not None:
            self.inline[1] += data

    def handle_endtag(self, tag):
        if tag == "script":
            self.inline = None


def scripts_of(folder, start):
    """The count and total size in bytes of the start page's scripts: its
    inline ones and those it names, as served; an address off the loopback
    portal counts but adds no size."""
    with open(os.path.join(folder, start), encoding="utf-8", errors="replace") as page:
        parser = Scripts()
        parser.feed(page.read())
    size = 0
    for src, text in parser.found:
        if src is None:
            size += len(text.encode())
            continue
        address = urlsplit(urljoin("http://portal/", src))
        path = os.path.join(folder, address.path.lstrip("/"))
        if address.netloc == "portal" and os.path.isfile(path):
            size += os.path.getsize(path)
    return len(parser.found), size


class Quiet(http.server.SimpleHTTPRequestHandler):
    extensions_map = dict(http.server.SimpleHTTPRequestHandler.extensions_map,
                          **{".html": "text/html; charset=utf-8", ".js": "text/javascript",
                             ".css": "text/css"})

    def __init__(self, *args, start, **kwargs):
        self.start = start
        super().__init__(*args, **kwargs)

    def translate_path(self, path):
        if urlsplit(path).path == "/":
            return os.path.join(self.directory, self.start)
        return super().translate_path(path)

    def log_message(self, *args):
        pass


def serve(folder, start):
    """Serves folder on a loopback port with start as "/", and the server."""
    handler = functools.partial(Quiet, directory=folder, start=start)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class Processor:
    """The processor time (user and system) of a check and of everything it
    starts. Counted by a cgroup (v2) of the bench's own where one can be made
    (as root): a sandboxed page run's node lives in bwrap's pid namespace,
    whose time reaches no getrusage of ours. Elsewhere the children waited
    for, which leaves those runs out (said in the figures)."""

    def __init__(self):
        self.group = None
        mounts = [line.split()[1] for line in open("/proc/mounts") if line.split()[2] == "cgroup2"]
        for mount in mounts:
            group = os.path.join(mount, "portal-bench-%d" % os.getpid())
            try:
                os.mkdir(group)
            except OSError:
                continue
            self.group = group
            atexit.register(os.rmdir, group)
            break
        self.counts = ("the check and all it starts" if self.group else
                       "the check and the programs it waits for, the sandboxed page runs left out")

    def command(self, command):
        """command, started so that the time it takes is counted."""
        if not self.group:
            return command
        return ["sh", "-c", 'echo $$ > "$0" && exec "$@"',
                os.path.join(self.group, "cgroup.procs")] + command

    def __call__(self):
        if self.group:
            with open(os.path.join(self.group, "cpu.stat")) as stat:
                fields = dict(line.split() for line in stat)
            return int(fields["usage_usec"]) / 1e6
        used = resource.getrusage(resource.RUSAGE_CHILDREN)
        return used.ru_utime + used.ru_stime


def verdicts(rounds):
    """Each round's worst status (as --json's verdict says it), counted: a
    verdict that changes from round to round is a finding of its own."""
    counted = {}
    for lines in rounds:
        statuses = {line.split(" ", 1)[0] for line in lines}
        worst = next((status for status in ("FAIL", "WARN", "PASS") if status in statuses),
                     "no verdict")
        counted[worst] = counted.get(worst, 0) + 1
    return ", ".join("%s in %d of %d rounds" % (status, count, len(rounds))
                     for status, count in counted.items())


def checkout_at(commit):
    """scripts/check-portal.sh as it was at commit, unpacked in a temporary folder."""
    before = tempfile.mkdtemp(prefix="portal-before-")
    atexit.register(shutil.rmtree, before, True)
    archive = subprocess.run(["git", "-C", SOURCE, "archive", commit, "tools", "scripts"],
                             capture_output=True, check=True).stdout
    subprocess.run(["tar", "-x", "-C", before], input=archive, check=True)
    return os.path.join(before, "scripts", "check-portal.sh")


def one_page(script):
    """The options that keep a check to the start page, as these figures are
    of one page: --pages 1 where the check follows links."""
    program = os.path.join(os.path.dirname(script), "..", "tools", "portal_check",
                           "check_portal.py")
    with open(program) as check:
        return ["--pages", "1"] if '"--pages"' in check.read() else []


def bench(doc, pages, start):
    """A bench's whole run, doc its usage: each chosen page of pages (name:
    what) served as start(what) serves it, giving (the server, what the
    figures name it by), and the check timed against it, in turn with the
    check at --commit if given."""
    options = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    options.add_argument("--rounds", type=int, default=3)
    options.add_argument("--only", action="append", default=[],
                         help="only the pages whose name holds this")
    options.add_argument("--commit", help="also time the check as it was at this commit")
    arguments = options.parse_args()
    sys.stdout.reconfigure(line_buffering=True)  # each page's figures as they come
    chosen = {name: what for name, what in pages.items()
              if not arguments.only or any(part in name for part in arguments.only)}
    if not chosen:
        sys.exit("no page named so; the pages: %s" % ", ".join(pages))
    checks = {"today": os.path.join(SOURCE, "scripts", "check-portal.sh")}
    if arguments.commit:
        checks[arguments.commit] = checkout_at(arguments.commit)
    processor_time = Processor()
    print("%d rounds, load average at the start %s; processor time: %s" % (
        arguments.rounds, " ".join(open("/proc/loadavg").read().split()[:3]),
        processor_time.counts))
    medians = {name: [] for name in checks}
    for name, what in chosen.items():
        server, named = start(what)
        times, cpu, said = ({check: [] for check in checks} for _ in range(3))
        for _ in range(arguments.rounds):
            for check, script in checks.items():
                started, used = time.monotonic(), processor_time()
                result = subprocess.run(processor_time.command(
                    [script, *one_page(script), "127.0.0.1:%d" % server.server_address[1]]),
                    capture_output=True, text=True)
                times[check].append(time.monotonic() - started)
                cpu[check].append(processor_time() - used)
                said[check].append(result.stdout.splitlines()
                                   + result.stderr.splitlines()[-3:])
        server.shutdown()
        server.server_close()
        print("\n%s %s" % (name, named))
        for check, seen in times.items():
            medians[check].append(statistics.median(seen))
            print("  %s: median %.2f s (%.2f-%.2f), processor time %.2f s, %s" % (
                check, medians[check][-1], min(seen), max(seen),
                statistics.median(cpu[check]), verdicts(said[check])))
            for line in said[check][-1]:
                if " scripts" in line or " stylesheets" in line or "Traceback" in line:
                    print("    " + line[:1200])
    print()
    for check, values in medians.items():
        print("median over %d pages, %s: %.2f s" % (len(values), check, statistics.median(values)))
    print("load average at the end %s" % " ".join(open("/proc/loadavg").read().split()[:3]))


def template(what):
    """The template's page served, and what the figures name it by."""
    pinned, start = what
    folder = package(pinned)
    count, size = scripts_of(folder, start)
    return serve(folder, start), "(%s, %s): %d scripts, %.0f KB" % (pinned, start, count,
                                                                     size / 1024)


if __name__ == "__main__":
    bench(__doc__, TEMPLATES, template)
