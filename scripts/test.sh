#!/usr/bin/env bash
# Sets up the machine, builds the launcher and its tests, and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/setup.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$(nproc)"
scripts/with-wine.sh ctest --preset mingw "$@"
