#!/usr/bin/env python3
"""Times the portal check on portals of 1, 5 and 20 pages: a loopback portal
whose pages each load Debian's jQuery (libjs-jquery), a stylesheet and a
few lines of page code with a delegated click handler, and link to every
other page from a menu, as a news portal's do; checked with --pages equal to
its page count, so that every page is checked and none is left out. Prints
each portal's median, fastest and slowest wall time and median processor
time, and how each grows against the one-page portal. Figures, not a test:
nothing fails when a check is slow.

Usage: portal_pages.py [--rounds N] [--counts N ...]   (default 3 rounds of 1 5 20)
"""
import argparse
import functools
import http.server
import os
import re
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import portal_libraries as libraries  # noqa: E402
import portal_templates as templates  # noqa: E402

PAGE = ('<!DOCTYPE html><html><head><meta charset="utf-8">'
        '<meta http-equiv="X-UA-Compatible" content="IE=edge"><title>%s</title>'
        '<link rel="stylesheet" href="/site.css"></head><body><ul class="menu">%s</ul>'
        '<div class="news"><h1>%s</h1><p>News of the realm.</p><a href="#more">More</a></div>'
        '<script src="/jquery.js"></script><script src="/site.js"></script></body></html>')
SITE_JS = (b"$(document).on('click', '.news a', function () { $(this).closest('.news')"
           b".toggleClass('open'); return false; });\n$(function () { $('.menu li').first()"
           b".addClass('first'); });\n")
SITE_CSS = (b".menu { display: flex; margin: 0; padding: 0 } .menu li { list-style: none; "
            b"padding: 4px 8px } .news { color: #333; background: #eee } .open { height: auto }\n")


def portal(count):
    """Serves a portal of count pages ("/" and /news/1 ... /news/count-1), and the server."""
    paths = ["/"] + ["/news/%d" % number for number in range(1, count)]
    menu = "".join('<li><a href="%s">%s</a></li>' % (path, path) for path in paths)
    with open(libraries.JQUERY, "rb") as jquery:
        routes = {"/jquery.js": (200, "text/javascript", jquery.read()),
                  "/site.js": (200, "text/javascript", SITE_JS),
                  "/site.css": (200, "text/css", SITE_CSS)}
    for path in paths:
        routes[path] = (200, "text/html; charset=utf-8", (PAGE % (path, menu, path)).encode())
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(libraries.Portal, routes=routes))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def timed(count, rounds, processor_time):
    """The wall and processor times of each round's check of a count-page portal."""
    server = portal(count)
    script = os.path.join(templates.SOURCE, "scripts", "check-portal.sh")
    walls, cpus = [], []
    for _ in range(rounds):
        started, used = time.monotonic(), processor_time()
        result = subprocess.run(processor_time.command(
            [script, "--pages", str(count), "127.0.0.1:%d" % server.server_address[1]]),
            capture_output=True, text=True)
        walls.append(time.monotonic() - started)
        cpus.append(processor_time() - used)
        checked = len(re.findall(r"^PASS (/\S* )?reachable:", result.stdout, re.M))
        if checked != count or "Traceback" in result.stderr:
            sys.exit("the check of %d pages checked %d:\n%s%s" % (count, checked, result.stdout,
                                                                   result.stderr[-2000:]))
    server.shutdown()
    server.server_close()
    return walls, cpus


def main():
    options = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    options.add_argument("--rounds", type=int, default=3)
    options.add_argument("--counts", type=int, nargs="+", default=[1, 5, 20])
    arguments = options.parse_args()
    sys.stdout.reconfigure(line_buffering=True)
    processor_time = templates.Processor()
    print("%d rounds, load average at the start %s; processor time: %s" % (
        arguments.rounds, " ".join(open("/proc/loadavg").read().split()[:3]),
        processor_time.counts))
    first = None
    for count in arguments.counts:
        walls, cpus = timed(count, arguments.rounds, processor_time)
        median = statistics.median(walls)
        first = first or median
        print("%2d pages: median %.2f s (%.2f-%.2f), %.1f times one page's, processor time "
              "%.2f s" % (count, median, min(walls), max(walls), median / first,
                          statistics.median(cpus)))
    print("load average at the end %s" % " ".join(open("/proc/loadavg").read().split()[:3]))


if __name__ == "__main__":
    main()
