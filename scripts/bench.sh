#!/usr/bin/env bash
# Builds and runs one benchmark program under Wine and prints its figures.
# Usage: scripts/bench.sh <target> [arguments...]
#   discovery-bench  one whole check against its floor of platform calls
#   soak-check       the window's check 10,000 times: time, private bytes, connections
#   service-bench    one service pass against the bare pipe round trip
#   toolkit-bench    what a paint of a label and of a button costs
#   responsiveness-bench  the real program's window round trips and Close, idle,
#                    against a slow service and against a silent one
#   plug-latency     a virtual HID unit unplugged and plugged ten times while the
#                    real program runs: device notice -> label change, with the
#                    program's notices on and off; then a storm of plug cycles
#   footprint [N] [EXE]  the program (or another build's, a Windows path) and a
#                    bare Win32 window started alternately, N times each (10):
#                    time to a visible window, private bytes with thread
#                    stacks apart, the ratios
#   discovery_fuzz_test --inputs=N --seed=S
#                    the discovery fuzz test's long run: N inputs per target
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
[ $# -ge 1 ] || { sed -n '2,18p' "$0"; exit 1; }
target=$1
shift
build=${KELVANE_BUILD_DIR:-$root/build/mingw}
scripts/install-deps.sh
cmake --preset mingw -B "$build" >/dev/null
targets=("$target" service-simulator)
[ "$target" != plug-latency ] || targets+=(Tavrello_Kelvane virtual-hid-install kelvane_virtual_hid)
cmake --build "$build" --target "${targets[@]}" >/dev/null

source scripts/wine-env.sh
start_wine_session "$build"
trap stop_wine_session EXIT
exe="$build/tools/$target.exe"
if [ "$target" = plug-latency ]; then
  # A prefix of its own (made once, like the tests' ones) holding the one unit
  # the benchmark unplugs and plugs again; it runs there.
  hid="$build/tests/support/virtual-hid"
  id='ROOT\VID_0483&PID_A110\7&6F708192&0&0000'
  serial=PLUGLATENCY0000000000001
  bash tests/support/virtual-hid/make-prefix.sh "$WINEPREFIX" "$build/wineprefix-hid-bench" \
    "$hid/virtual-hid-install.exe" "$hid/kelvane_virtual_hid.inf" \
    --device "$id" 0483 A110 Tavrello "Motion Unit" --serial "$serial" >/dev/null
  export KELVANE_WINEPREFIX="$build/wineprefix-hid-bench"
  winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
  set -- "$(winpath "$hid/virtual-hid-install.exe")" "$(winpath "$hid/kelvane_virtual_hid.inf")" "$id" "$serial" "$@"
fi
[ "$target" != discovery_fuzz_test ] || exe="$build/tests/discovery/$target.exe"
out=$(mktemp)
# Wine's background processes can hold a pipe open: write to a file, not a pipe.
"$build/wine-run.sh" "$exe" "$@" >"$out" 2>&1 </dev/null && status=0 || status=$?
cat "$out"
rm -f "$out"
exit "$status"
