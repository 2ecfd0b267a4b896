#!/usr/bin/env bash
# Builds the release launcher.exe (size-optimised, stripped) and packs it into
# build/release/VarnholtLauncher-VERSION-win32.zip.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
(cd build/release && cpack -G ZIP)
ls -l build/release/*.zip
