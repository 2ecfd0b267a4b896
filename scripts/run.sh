#!/usr/bin/env bash
# Sets up the machine, builds the launcher and starts it under Wine in a demo
# game folder (a sample config.cfg and stand-ins for the game and the gamepad
# tool that record that they ran).
#
# With an X display ($DISPLAY reachable) the launcher opens there and waits for
# you. Without one it opens on a virtual display: the script saves a
# screenshot of the window, names the file, and closes the launcher.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/setup.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$(nproc)" --target launcher stub_target url_recorder

build="$root/build/mingw"
demo="$build/demo"
mkdir -p "$demo"
rm -f "$demo"/*.ran
cp "$build/tests/stub_target.exe" "$demo/_Varnholt.exe"
cp "$build/tests/stub_target.exe" "$demo/xpad.exe"
if [ ! -f "$demo/config.cfg" ]; then
  printf 'screenWidth = 1024\r\nscreenHeight = 768\r\nscreenBPP = 32\r\nfullscreen = 1\r\nbloom = 0\r\n' \
    >"$demo/config.cfg"
fi

report() {
  echo "Demo game folder: $demo"
  for ran in "$demo"/*.ran; do
    [ -e "$ran" ] && echo "  ran: $(basename "$ran" .ran).exe"
  done
  urls="$build/tests/url_recorder.log"
  [ -s "$urls" ] && echo "  last page opened: $(tail -n 1 "$urls")"
  echo "  config.cfg now:"
  sed 's/^/    /' "$demo/config.cfg"
}

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  # The player's own display: wait for the launcher to end.
  (cd "$demo" && "$root/scripts/with-wine.sh" --display-current wine "$build/launcher.exe")
  report
  exit 0
fi

screenshot="$build/launcher-window.png"
export DEMO_SCREENSHOT="$screenshot" DEMO_FOLDER="$demo" DEMO_EXE="$build/launcher.exe"
scripts/with-wine.sh bash -c '
  cd "$DEMO_FOLDER"
  wine "$DEMO_EXE" &
  pid=$!
  for _ in $(seq 100); do
    window=$(xdotool search --onlyvisible --name "^Varnholt\$" 2>/dev/null | head -n 1)
    [ -n "$window" ] && break
    sleep 0.1
  done
  if [ -z "$window" ]; then echo "the launcher window did not show" >&2; exit 1; fi
  sleep 1
  import -window "$window" "$DEMO_SCREENSHOT"
  eval "$(xdotool getwindowgeometry --shell "$window")"
  # A click on CLOSE, at its place in the template (377, 215, 49 x 14 of 433 x 236).
  xdotool mousemove --window "$window" $((WIDTH * 401 / 433)) $((HEIGHT * 222 / 236)) click 1
  wait $pid
'
echo "No X display: the launcher ran on a virtual display and was closed."
echo "Screenshot of its window: $screenshot"
report
