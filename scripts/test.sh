#!/usr/bin/env bash
# Installs what is missing, builds the Windows binaries and runs every test under
# Wine inside one Xvfb display. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/install-deps.sh
scripts/check-style.sh
# KELVANE_BUILD_DIR lets several work trees or sessions keep builds apart.
build=${KELVANE_BUILD_DIR:-$root/build/mingw}
cmake --preset mingw -B "$build" >/dev/null
# KELVANE_BUILD_TARGETS (space-separated) builds only those targets, for work on one
# part of the tree; pair it with a ctest -R filter.
cmake --build "$build" ${KELVANE_BUILD_TARGETS:+--target $KELVANE_BUILD_TARGETS}

source scripts/wine-env.sh
start_wine_session "$build"
trap stop_wine_session EXIT

ctest --test-dir "$build" --output-on-failure "$@"
