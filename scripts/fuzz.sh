#!/usr/bin/env bash
# Fuzzes the config.cfg logic (src/settings/config_text) natively with clang,
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer, for a bounded
# time, and fails on any finding (crash, sanitizer report or broken property).
#
#   scripts/fuzz.sh [SECONDS]     total fuzzing time, split over the targets (default 40)
#
# Findings are kept as build/fuzz/findings/TARGET-*; the corpus grown by earlier
# runs stays in build/fuzz/corpus-TARGET and is reused.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-40}
targets=(config_load_fuzzer config_save_fuzzer)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
missing=()
for p in clang libclang-rt-14-dev cmake make python3; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "fuzz: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build=build/fuzz
cmake -S fuzz --preset fuzz >/dev/null
cmake --build "$build" -j2 >/dev/null
python3 fuzz/make_corpus.py --long "$build/long-input"
mkdir -p "$build/findings"

per_target=$(( seconds / ${#targets[@]} ))
[ "$per_target" -ge 1 ] || per_target=1
status=0
for target in "${targets[@]}"; do
  corpus="$build/corpus-$target"
  log="$build/$target.log"
  mkdir -p "$corpus"
  # The very long input runs once, whole; the fuzzing itself stays on inputs of
  # up to 4 KiB, room for lines of several 259-character pieces.
  if ! "$build/$target" -artifact_prefix="$build/findings/$target-" "$build/long-input/long.cfg" \
      >"$log" 2>&1; then
    echo "fuzz: $target failed on the long input; see $log"
    tail -n 30 "$log"
    status=1
    continue
  fi
  if "$build/$target" -max_total_time="$per_target" -max_len=4096 -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/findings/$target-" \
      "$corpus" fuzz/corpus >>"$log" 2>&1; then
    runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 runs in \2 s/p' "$log" | tail -n 1)
    echo "fuzz: $target: ${runs:-?}, no finding"
  else
    echo "fuzz: $target: FINDING; see $log and $build/findings/"
    tail -n 40 "$log"
    status=1
  fi
done
exit $status
