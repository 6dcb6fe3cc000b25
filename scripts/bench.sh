#!/usr/bin/env bash
# Builds and runs one benchmark program under Wine and prints its figures.
# Usage: scripts/bench.sh <target> [arguments...]
#   discovery-bench  one whole check against its floor of platform calls
#   soak-check       the window's check 10,000 times: time, private bytes, connections
#   service-bench    one service pass against the bare pipe round trip
#   toolkit-bench    what a paint of a label and of a button costs
#   responsiveness-bench  the real program's window round trips and Close, idle,
#                    against a slow service and against a silent one
#   discovery_fuzz_test --inputs=N --seed=S
#                    the discovery fuzz test's long run: N inputs per target
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
[ $# -ge 1 ] || { sed -n '2,12p' "$0"; exit 1; }
target=$1
shift
build=${KELVANE_BUILD_DIR:-$root/build/mingw}
scripts/install-deps.sh
cmake --preset mingw -B "$build" >/dev/null
cmake --build "$build" --target "$target" service-simulator >/dev/null

source scripts/wine-env.sh
start_wine_session "$build"
trap stop_wine_session EXIT
exe="$build/tools/$target.exe"
[ "$target" != discovery_fuzz_test ] || exe="$build/tests/discovery/$target.exe"
out=$(mktemp)
# Wine's background processes can hold a pipe open: write to a file, not a pipe.
"$build/wine-run.sh" "$exe" "$@" >"$out" 2>&1 </dev/null && status=0 || status=$?
cat "$out"
rm -f "$out"
exit "$status"
