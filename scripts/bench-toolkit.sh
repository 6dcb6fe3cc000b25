#!/usr/bin/env bash
# Builds the toolkit's paint benchmark and runs it under Wine in its own Xvfb
# display. Usage: scripts/bench-toolkit.sh [repetitions]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${KELVANE_BUILD_DIR:-$root/build/mingw}
cmake --preset mingw -B "$build" >/dev/null
cmake --build "$build" --target toolkit-bench

source scripts/wine-env.sh
start_wine_session "$build"
trap stop_wine_session EXIT

out=$(mktemp)
# Wine's output goes to a file: a pipe could be held open by its background processes.
wine "$build/tools/toolkit-bench.exe" "${1:-500}" >"$out" 2>/dev/null </dev/null
cat "$out"
rm -f "$out"
