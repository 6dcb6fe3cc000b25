#!/usr/bin/env bash
# Makes (once per build and device list) a Wine prefix holding virtual HID
# devices, and starts its wineserver for the test run. Run as a CTest fixture,
# inside the test session (DISPLAY set, the build's own prefix ready).
# Usage: make-prefix.sh <build prefix> <new prefix> <installer exe> <inf> <installer device arguments...>
set -euo pipefail
base=$1 prefix=$2 installer=$3 inf=$4
shift 4
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }
instance_ids() {
  local args=("$@") i
  for ((i = 0; i < ${#args[@]}; i++)); do
    [ "${args[i]}" = --device ] && printf '%s\n' "${args[i + 1]}"
  done
}

# What the prefix was made from: a change to any of it makes it again.
stamp="$prefix/.kelvane-virtual-hid"
wanted=$( { sha256sum "$0" "$installer" "$inf" "$(dirname "$inf")"/*.sys | cut -d' ' -f1; printf '%s\n' "$@"; } | sha256sum)

# A copy of the build's prefix. Wine's libraries (the bulk of it) are shared
# through hard links: nothing writes to them; all else is copied. The build's
# wineserver runs meanwhile and may save its registry files as they are read.
copy_base() {
  rm -rf "$prefix" && mkdir -p "$prefix" || return 1
  (cd "$base" && tar --exclude=./drive_c/windows/system32 --exclude=./wineserver --exclude=./.kelvane-ready -cf - .) |
    (cd "$prefix" && tar -xf -) || return 1
  cp -al "$base/drive_c/windows/system32" "$prefix/drive_c/windows/system32" &&
    rm -rf "$prefix/drive_c/windows/system32/drivers" &&
    cp -a "$base/drive_c/windows/system32/drivers" "$prefix/drive_c/windows/system32/drivers"
}

start_server() {
  wineserver -p >/dev/null 2>&1 </dev/null || return 1
  wine wineboot >/dev/null 2>&1 </dev/null || true
}

# Every step of a new prefix, each failure named (the steps are quiet on their
# own). Runs where set -e does not hold, so each step is checked.
make_prefix() {
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
  copy_base || { echo "make-prefix: copying $base failed" >&2; return 1; }
  start_server || { echo "make-prefix: starting the wineserver failed" >&2; return 1; }
  wine "$installer" "$(windows_path "$inf")" "$@" || { echo "make-prefix: installing failed" >&2; return 1; }
  # The devices start at once. A wineserver stopped before each one's HID
  # collection is registered leaves a half-made entry that keeps it away for
  # good, so the stamp is written only once all of them are present.
  wine "$installer" --wait "${ids[@]}" || { echo "make-prefix: the devices did not appear" >&2; return 1; }
  echo "$wanted" >"$stamp"
}

mapfile -t ids < <(instance_ids "$@")
export WINEPREFIX=$prefix
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$wanted" ]; then
  started=$(date +%s%N)
  # A failure that passes (once seen on a fresh clone, with nothing printed)
  # gets one more try from the start; one that stays fails the fixture.
  if ! make_prefix "$@"; then
    echo "make-prefix: making $prefix once more" >&2
    sleep 1
    make_prefix "$@"
  fi
  echo "made $prefix in $(( ($(date +%s%N) - started) / 1000000 )) ms"
else
  # They start with every new wineserver of the prefix. A prefix that lost one
  # (a test that removed it and stopped before putting it back) is made again.
  start_server
  if ! wine "$installer" --wait "${ids[@]}"; then
    rm -f "$stamp"
    exec bash "$0" "$base" "$prefix" "$installer" "$inf" "$@"
  fi
fi
