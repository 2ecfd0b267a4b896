#!/usr/bin/env bash
# Sets up the machine, builds the launcher and its tests, and runs every test:
# a bounded fuzz run of the config.cfg logic (natively, with sanitizers), then
# the Windows tests under Wine (extra arguments go to ctest).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/setup.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$(nproc)"
scripts/fuzz.sh "${LAUNCHER_FUZZ_SECONDS:-40}"
scripts/with-wine.sh ctest --preset mingw "$@"
