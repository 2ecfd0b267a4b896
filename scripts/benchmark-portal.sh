#!/usr/bin/env bash
# Times scripts/check-portal.sh on loopback portals (figures, not a test:
# nothing here fails on slowness). Each folder given is served as a portal
# of its own (its index.html as the start page) and checked ROUNDS times;
# prints each page's median, fastest and slowest wall time, its scripts
# lines, the median over the pages and the machine's load.
#
#   scripts/benchmark-portal.sh [--rounds N] FOLDER...
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=5
case "${1:-}" in
  -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
  --rounds) rounds=$2; shift 2 ;;
esac
[ $# -gt 0 ] || { echo "usage: $0 [--rounds N] FOLDER..." >&2; exit 2; }
exec python3 - "$root/scripts/check-portal.sh" "$rounds" "$@" <<'PY'
import functools, http.server, statistics, subprocess, sys, threading, time

check, rounds, folders = sys.argv[1], int(sys.argv[2]), sys.argv[3:]


class Quiet(http.server.SimpleHTTPRequestHandler):
    extensions_map = dict(http.server.SimpleHTTPRequestHandler.extensions_map,
                          **{".html": "text/html; charset=utf-8", ".js": "text/javascript"})

    def log_message(self, *args):
        pass


medians = []
for folder in folders:
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
                                             functools.partial(Quiet, directory=folder))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    times = []
    for _ in range(rounds):
        started = time.monotonic()
        result = subprocess.run([check, "127.0.0.1:%d" % server.server_address[1]],
                                capture_output=True, text=True)
        times.append(time.monotonic() - started)
    server.shutdown()
    medians.append(statistics.median(times))
    print("%s: median %.2f s (%.2f-%.2f), load average %s" % (
        folder, medians[-1], min(times), max(times), open("/proc/loadavg").read().split()[0]))
    for line in result.stdout.splitlines():
        if " scripts:" in line:
            print("    " + line[:300])
print("median over %d pages: %.2f s" % (len(medians), statistics.median(medians)))
PY
