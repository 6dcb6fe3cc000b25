#!/usr/bin/env bash
# Builds and runs the service pass benchmark under Wine. Arguments go to
# service-bench: [batches (15)] [round trips per batch (200)] [passes per batch (20)].
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${KELVANE_BUILD_DIR:-$root/build/mingw}
cmake --preset mingw -B "$build" >/dev/null
cmake --build "$build" --target service-bench >/dev/null

source scripts/wine-env.sh
start_wine_session "$build"
trap stop_wine_session EXIT
out=$(mktemp)
# Wine's background processes can hold a pipe open: write to a file, not a pipe.
"$build/wine-run.sh" "$build/tools/service-bench.exe" "$@" >"$out" 2>&1 </dev/null && status=0 || status=$?
cat "$out"
rm -f "$out"
exit "$status"
