#!/usr/bin/env bash
# Runs a command inside the launcher's Wine test bed: a 32-bit Wine prefix of
# the build's own (created on first use), a private Xvfb display, and one
# persistent wineserver for the whole run. Wine runs its windows unmanaged
# (no window manager places or decorates them), so they stay exactly where
# the program puts them, as on Windows, and Wine itself moves the X focus.
#
#   scripts/with-wine.sh [--display-current] COMMAND...
#
# LAUNCHER_BUILD_DIR selects the build (default: build/mingw). With
# --display-current the command uses the current $DISPLAY instead of Xvfb.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(realpath -m "${LAUNCHER_BUILD_DIR:-$root/build/mingw}")
use_current_display=
if [ "${1:-}" = "--display-current" ]; then
  use_current_display=1
  shift
fi

export WINEPREFIX="$build_dir/wineprefix"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer prompts in unattended runs.
export WINEDLLOVERRIDES="mscoree,mshtml="
export LAUNCHER_BUILD_DIR="$build_dir"

pids=()
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  for pid in "${pids[@]}"; do kill "$pid" >/dev/null 2>&1 || true; done
  wait >/dev/null 2>&1 || true
}
trap cleanup EXIT

if [ -z "$use_current_display" ]; then
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 4 -screen 0 "${LAUNCHER_SCREEN:-1280x1024x24}" -nolisten tcp \
    4>"$fifo" >/dev/null 2>&1 &
  pids+=($!)
  read -r display_number <"$fifo"
  rm -f "$fifo"
  export DISPLAY=":$display_number"
fi

mkdir -p "$build_dir"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
  # wineboot leaves its own server running for a while; wait for it to end so
  # that the persistent one below can start.
  wineserver -w
fi
wineserver -p

# Wine's own fonts (fonts-wine), so that dialogs get MS Sans Serif's metrics as
# on Windows. Debian's Wine 8 looks for its bitmap fonts, MS Sans Serif among
# them, only in the prefix's Fonts folder, not where the package puts them, and
# draws dialogs in a wider substitute without them; linked on every run, so
# that a prefix made before the package was installed gets them too.
wine_fonts=/usr/share/wine/fonts
if [ -d "$wine_fonts" ]; then
  ln -sf "$wine_fonts"/* "$WINEPREFIX/drive_c/windows/Fonts/"
fi

# The prefix's settings for unattended runs, applied on every run so that a
# moved build folder stays right: no crash dialog (a crash fails the test
# instead of hanging it), windows placed by the program alone, and the shell's
# http handler is the tests' recorder.
recorder=$(winepath -w "$build_dir/tests/url_recorder.exe" 2>/dev/null | sed 's/\\/\\\\/g')
regfile=$(mktemp --suffix=.reg)
cat >"$regfile" <<REG
REGEDIT4

[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]
"Managed"="N"

[HKEY_CLASSES_ROOT\\http\\shell\\open\\command]
@="\\"$recorder\\" \\"%1\\""

[HKEY_CLASSES_ROOT\\https\\shell\\open\\command]
@="\\"$recorder\\" \\"%1\\""
REG
wine regedit /S "$(winepath -w "$regfile")" >/dev/null 2>&1
rm -f "$regfile"

set +e
"$@"
status=$?
set -e
exit $status
