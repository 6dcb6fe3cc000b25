# Sourced by the run and test scripts: one Xvfb display and one wineserver for
# the whole session, in the build's own prefix.

start_wine_session() {
  local build=$1
  export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  KELVANE_XVFB_PID=""
  if [ "${KELVANE_USE_DISPLAY:-0}" != 1 ]; then
    local n=90
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
    KELVANE_XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  fi
  "$(dirname "${BASH_SOURCE[0]}")/setup-wine-prefix.sh" "$WINEPREFIX"
  # Start the wineserver and Wine's own background processes now, with their
  # output going nowhere, so that no test's output pipe is held open by them.
  wineserver -p >/dev/null 2>&1 </dev/null
  wine wineboot >/dev/null 2>&1 </dev/null || true
}

stop_wine_session() {
  wineserver -k >/dev/null 2>&1 || true
  # The virtual-HID test prefixes of this build, should a run stop early.
  local prefix
  for prefix in "$WINEPREFIX"-hid-*; do
    if [ -d "$prefix" ]; then WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true; fi
  done
  if [ -n "${KELVANE_XVFB_PID:-}" ]; then kill "$KELVANE_XVFB_PID" 2>/dev/null || true; fi
}
