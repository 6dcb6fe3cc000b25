#!/usr/bin/env bash
# Builds the program and runs it under Wine against the service simulator,
# which serves one built-in motion unit.
#
# With a display (DISPLAY set), the window is shown for you; close it with
# "Close". Without one, it runs under Xvfb and shows what a user would: it
# saves a screenshot of the window, clicks "Copy to clipboard" with the real
# pointer and prints what the clipboard holds, clicks "Close", and prints the
# exit code and the log's lines.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

serial=${KELVANE_SERIAL:-TVK7Q2M9X4LP8RZ3HN6WC5JD}

scripts/install-deps.sh
build=${KELVANE_BUILD_DIR:-$root/build/mingw}
cmake --preset mingw -B "$build" >/dev/null
cmake --build "$build" --target Tavrello_Kelvane service-simulator >/dev/null

headless=1
if [ -n "${DISPLAY:-}" ]; then headless=0; export KELVANE_USE_DISPLAY=1; fi
source scripts/wine-env.sh
start_wine_session "$build"
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  stop_wine_session
}
trap cleanup EXIT

wine "$build/tools/service-simulator.exe" --serial "$serial" >"$build/simulator.log" 2>&1 &
sim_pid=$!
for _ in $(seq 300); do grep -q serving "$build/simulator.log" 2>/dev/null && break; sleep 0.1; done
echo "Service simulator: $(head -n 1 "$build/simulator.log")"

log="$WINEPREFIX/drive_c/users/$(whoami)/AppData/Local/Tavrello/Logs/Tavrello_Kelvane.log"

if [ "$headless" = 0 ]; then
  echo "Showing the window; close it with \"Close\"."
  set +e
  wine "$build/app/Tavrello_Kelvane.exe" >/dev/null 2>&1
  echo "Exit code: $?"
  exit 0
fi

before=0
[ -f "$log" ] && before=$(wc -l <"$log")
wine "$build/app/Tavrello_Kelvane.exe" >/dev/null 2>&1 &
app_pid=$!
window=""
for _ in $(seq 300); do
  window=$(xdotool search --name "^Motion Platform Serial Number$" 2>/dev/null | head -n 1 || true)
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "The window did not appear." >&2; exit 1; }
sleep 2.5  # the first check comes one second after the window

eval "$(xdotool getwindowgeometry --shell "$window")"
shot="$build/screenshot.png"
import -window "$window" "$shot"
echo "Screenshot: $shot"

# The buttons' centres, from the window's layout.
xdotool mousemove $((X + 220)) $((Y + 205)) click 1
sleep 0.5
echo "Clipboard: $(xclip -o -selection clipboard 2>/dev/null || echo '<empty>')"

xdotool mousemove $((X + 430)) $((Y + 205)) click 1
set +e
wait "$app_pid"
echo "Exit code: $?"
set -e
echo "Log lines of this run ($log):"
tail -n +$((before + 1)) "$log" | tr -d '\r' | sed 's/^/  /'
