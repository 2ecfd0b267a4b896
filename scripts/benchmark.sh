#!/usr/bin/env bash
# Benchmarks of the launcher (figures, not tests: nothing here fails on
# slowness). Sets up the machine, builds the shipped configuration (MinSizeRel)
# with the benchmark programs, and prints, from one run with the programs
# alternated round by round:
#   - process start to visible window for launcher.exe, for the floor (only
#     the platform calls the launcher must make before its window shows) and
#     for a bare dialog of the same template, with their ratios;
#   - a PLAY click to the game stub running;
#   - the peak working set of each;
#   - the size of the stripped launcher.exe (shipped and debug builds) and
#     the DLLs it imports;
#   - LoadSettings and SaveSettings on a config.cfg of 1 KB to 1 GB, each size
#     in a process of its own, with its peak working set (about half a minute).
#
#   scripts/benchmark.sh [--runs N] [--warmup N] [--settle MS] [--config-reps N]
#
# --runs: rounds measured (default 21); --warmup: rounds run first and left
# out (default 1); --settle: time the window is left open before its memory is
# read and PLAY is clicked (default 500 ms); --config-reps: loads and saves per
# file size (default 15; fewer from 100 MB on). Raw figures stay in
# build/bench-release/bench-results.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

runs=21
warmup=1
settle=500
config_reps=15
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --warmup) warmup=$2; shift 2 ;;
    --settle) settle=$2; shift 2 ;;
    --config-reps) config_reps=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: $0 [--runs N] [--warmup N] [--settle MS] [--config-reps N]" >&2; exit 2 ;;
  esac
done

scripts/setup.sh

release=build/bench-release
debug=build/bench
echo "benchmark: building $release (shipped configuration) and $debug (debug, for its size)"
# The shipped configuration, but with the portal on a closed loopback port:
# the browser control's page request then fails at once on this machine
# instead of asking the network for a name.
cmake --preset release -B "$release" -DLAUNCHER_BUILD_BENCH=ON \
  -DLAUNCHER_PORTAL_HOST=127.0.0.1:9 >/dev/null
cmake --build "$release" -j 2 >/dev/null
cmake --preset mingw -B "$debug" -DLAUNCHER_BUILD_TESTS=OFF >/dev/null
cmake --build "$debug" -j 2 --target launcher >/dev/null

results="$root/$release/bench-results"
rm -rf "$results"
mkdir -p "$results"

# The machine, and how busy it is: other work on it shows in the figures.
{
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'),"\
       "$(free -g | awk '/^Mem:/ {print $2}') GiB"
  echo "wine: $(wine --version 2>/dev/null); screen: ${LAUNCHER_SCREEN:-1280x1024x24} Xvfb"
  changed=$(git status --porcelain -- src CMakeLists.txt 2>/dev/null | wc -l)
  echo "source: commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)$(
    [ "$changed" -gt 0 ] && echo " with $changed uncommitted change(s) in src/ or CMakeLists.txt")"
  echo "run: $runs rounds (+$warmup warm-up), settle $settle ms, $config_reps loads/saves per size;"\
       "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
} >"$results/machine.txt"

# A typical config.cfg for the game folders.
printf 'screenWidth = 1024\r\nscreenHeight = 768\r\nscreenBPP = 32\r\nfullscreen = 1\r\nbloom = 0\r\n' \
  >"$results/config.cfg"
games=$(mktemp -d)
trap 'rm -rf "$games"' EXIT

export BENCH_RELEASE="$root/$release" BENCH_RESULTS="$results" BENCH_GAMES="$games"
export BENCH_RUNS=$runs BENCH_WARMUP=$warmup BENCH_SETTLE=$settle BENCH_CONFIG_REPS=$config_reps
echo "benchmark: running $runs rounds of launcher, floor, bare dialog, the floor's two parts and process start"
LAUNCHER_BUILD_DIR="$root/$release" scripts/with-wine.sh bash -c '
  set -e
  w() { winepath -w "$1"; }
  wine "$BENCH_RELEASE/bench/bench_runner.exe" --out "$(w "$BENCH_RESULTS/runs.tsv")" \
    --stub "$(w "$BENCH_RELEASE/bench/bench_game_stub.exe")" \
    --config "$(w "$BENCH_RESULTS/config.cfg")" --work "$(w "$BENCH_GAMES")" \
    --runs "$BENCH_RUNS" --warmup "$BENCH_WARMUP" --settle "$BENCH_SETTLE" \
    launcher="$(w "$BENCH_RELEASE/launcher.exe")" \
    floor="$(w "$BENCH_RELEASE/bench/bench_floor.exe")" \
    bare="$(w "$BENCH_RELEASE/bench/bench_bare_dialog.exe")" \
    floor_d3d="$(w "$BENCH_RELEASE/bench/bench_floor.exe")|d3d" \
    floor_web="$(w "$BENCH_RELEASE/bench/bench_floor.exe")|browser" \
    stub=@stub >"$BENCH_RESULTS/runner.log" 2>&1 || echo "benchmark: some runs failed (see runner.log)"
  echo "benchmark: timing LoadSettings and SaveSettings"
  wine "$BENCH_RELEASE/bench/bench_config.exe" --out "$(w "$BENCH_RESULTS/config.tsv")" \
    --reps "$BENCH_CONFIG_REPS" --dir "$(w "$BENCH_GAMES")\\config-bench" \
    >"$BENCH_RESULTS/config.log" 2>&1 || echo "benchmark: the settings file timing failed (see config.log)"
'
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$results/machine.txt"

# Sizes of stripped copies, their sections, and what they import.
system_dlls=" kernel32.dll user32.dll gdi32.dll shell32.dll ole32.dll oleaut32.dll msvcrt.dll advapi32.dll "
printf 'build\tstripped_bytes\tsections\timports\timports_verdict\n' >"$results/sizes.tsv"
for entry in "release (MinSizeRel, shipped):$release" "debug (mingw preset):$debug"; do
  name=${entry%%:*}
  dir=${entry#*:}
  copy="$results/launcher-$(basename "$dir").exe"
  cp "$dir/launcher.exe" "$copy"
  i686-w64-mingw32-strip "$copy"
  sections=
  while read -r _ section size _; do
    [ "$section" = .bss ] && continue
    sections+="${sections:+, }$section $(awk -v b=$((16#$size)) 'BEGIN { printf "%.1f", b / 1024 }')"
  done < <(i686-w64-mingw32-objdump -h "$copy" | awk '$1 ~ /^[0-9]+$/')
  imports=$(i686-w64-mingw32-objdump -p "$copy" | sed -n 's/.*DLL Name: //p' | tr 'A-Z' 'a-z' | tr -d '\r')
  verdict="system DLLs only"
  for dll in $imports; do
    case "$system_dlls" in *" $dll "*) ;; *) verdict="NOT a system DLL: $dll" ;; esac
  done
  printf '%s\t%s\t%s\t%s\t%s\n' "$name" "$(stat -c %s "$copy")" "$sections" \
    "$(echo $imports)" "$verdict" >>"$results/sizes.tsv"
done

python3 bench/summarize.py "$results" | tee "$results/summary.txt"
