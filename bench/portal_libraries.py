#!/usr/bin/env python3
"""Times the portal check on pages that each use one published library as
its documentation shows: the library's package is fetched once at an exact
version with `npm pack` into build/library-cache (jQuery is Debian's own,
from libjs-jquery), and a loopback portal serves a start page "/" that loads
the library's bundle as "/lib.js" and runs one line of page code with it.
Nothing else is served, so every page WARNs of the statistics page's 404.
Prints each page's median, fastest and slowest wall time and its median
processor time, the size and count of its scripts, how often each verdict
came, and the scripts and stylesheets lines of its last round; then the
median over the pages and the machine's load. Figures, not a test: nothing
fails when a check is slow.

Usage: portal_libraries.py [--rounds N] [--only NAME] [--commit COMMIT]
(default 3 rounds; --only takes part of a page's name and may be repeated;
with COMMIT, the check as it was there runs in alternation with today's)
"""
import functools
import http.server
import os
import subprocess
import sys
import threading
from urllib.parse import urlsplit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import portal_templates as templates  # noqa: E402

CACHE = os.path.join(templates.SOURCE, "build", "library-cache")
JQUERY = "/usr/share/javascript/jquery/jquery.min.js"

# name: (package@version, its bundle inside the package, the page's markup,
# its one line of code). jQuery's bundle is Debian's, with no package fetched.
LIBRARIES = {
    "clipboard.js": ("clipboard@2.0.11", "dist/clipboard.min.js",
                     '<button class="btn" data-clipboard-text="x">Copy</button>',
                     "new ClipboardJS('.btn');"),
    "micromodal": ("micromodal@0.4.10", "dist/micromodal.min.js",
                   '<div id="modal-1" aria-hidden="true"><div data-micromodal-close>x</div></div>'
                   '<a data-micromodal-trigger="modal-1">open</a>', "MicroModal.init();"),
    "DOMPurify": ("dompurify@2.4.7", "dist/purify.min.js", "",
                  "document.body.appendChild(document.createElement('div')).innerHTML = "
                  "DOMPurify.sanitize('<img src=x onerror=alert(1)>');"),
    "countUp.js": ("countup.js@2.8.0", "dist/countUp.umd.js", '<span id="n"></span>',
                   "new countUp.CountUp('n', 100).start();"),
    "SweetAlert2": ("sweetalert2@9.17.2", "dist/sweetalert2.all.min.js", "", "Swal.fire('Hello');"),
    "moment": ("moment@2.30.1", "min/moment.min.js", "",
               "document.title = moment().format('LL');"),
    "Sortable": ("sortablejs@1.15.0", "Sortable.min.js", '<ul id="list"><li>a</li><li>b</li></ul>',
                 "Sortable.create(document.getElementById('list'));"),
    "flatpickr": ("flatpickr@4.6.13", "dist/flatpickr.min.js", '<input id="d">',
                  "flatpickr('#d', {mode: 'range'});"),
    "jQuery": (None, JQUERY, '<div class="news"><a href="#">x</a></div>',
               "$(document).on('click', '.news a', function () "
               "{ Object.assign({}, {}); return false; });"),
}
PAGE = ('<!DOCTYPE html><html><head><meta charset="utf-8">'
        '<meta http-equiv="X-UA-Compatible" content="IE=edge"><title>Portal</title></head>'
        '<body>%s<script src="/lib.js"></script><script>%s</script></body></html>')


def bundle_of(pinned, path):
    """The bundle's bytes and what names it in the figures; a path that is
    not there stops the bench, as a moved bundle would time a 404 instead."""
    if pinned is None:
        version = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", "libjs-jquery"],
                                 capture_output=True, text=True).stdout or "not installed"
        pinned, full = "libjs-jquery %s" % version, path
    else:
        full = os.path.join(templates.package(pinned, CACHE), path)
    if not os.path.isfile(full):
        sys.exit("%s has no %s" % (pinned, path))
    with open(full, "rb") as bundle:
        return bundle.read(), "%s, %s" % (pinned, path)


class Portal(http.server.BaseHTTPRequestHandler):
    def __init__(self, *args, routes, **kwargs):
        self.routes = routes
        super().__init__(*args, **kwargs)

    def do_GET(self):
        status, kind, body = self.routes.get(urlsplit(self.path).path, (404, None, b""))
        self.send_response(status)
        if kind:
            self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def serve(page, bundle):
    """Serves page as "/" and bundle as "/lib.js" on a loopback port, and the server."""
    routes = {"/": (200, "text/html; charset=utf-8", page.encode()),
              "/lib.js": (200, "text/javascript", bundle)}
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
                                             functools.partial(Portal, routes=routes))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def library(what):
    """The library's page served, and what the figures name it by."""
    pinned, path, body, line = what
    bundle, named = bundle_of(pinned, path)
    return serve(PAGE % (body, line), bundle), "(%s): 2 scripts, %.0f KB" % (
        named, (len(bundle) + len(line.encode())) / 1024)


if __name__ == "__main__":
    templates.bench(__doc__, LIBRARIES, library)
