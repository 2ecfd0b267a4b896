#!/usr/bin/env bash
# Loads the portal's start page and statistics page the way the launcher's
# browser control on Windows does (Internet Explorer 11's engine in IE7 mode,
# Windows' own TLS suites), and says what would leave players with a blank or
# broken page. Run it before every release, against the host the release is
# built for (LAUNCHER_PORTAL_HOST), with --https when it is built with
# LAUNCHER_PORTAL_SCHEME=https:
#
#   scripts/check-portal.sh [--https] [--timeout SECONDS] [--json] [--fail-on fail|warn]
#                           [--sarif FILE] HOST
#
# One line per check (scripts: one per finding in a script; stylesheets: one per
# stylesheet that loses layout or colour): PASS, WARN or FAIL, its name and
# what it found; with --json the same as one JSON object. Exits with 1 when a
# check fails; with --fail-on warn, when any line is not PASS (a page whose
# code could not be run is a WARN). The portal's own deployment runs it too,
# against its staging host, with --fail-on warn. --sarif FILE writes the
# findings as a SARIF 2.1.0 log too, for code scanning. Needs python3, node
# (Debian 12's own 18 will do) with Debian's node-acorn, node-jsdom,
# node-css-tree, node-mdn-browser-compat-data and node-source-map, and
# bubblewrap and python3-seccomp for the sandbox the page's scripts run in
# (scripts/setup.sh installs them; `scripts/setup.sh --portal-check` installs
# only these).
set -euo pipefail
exec python3 "$(dirname "$0")/../tools/portal_check/check_portal.py" "$@"
