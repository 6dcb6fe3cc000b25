#!/usr/bin/env bash
# Creates (once) the Wine prefix that belongs to a build, for tests and runs.
# Usage: setup-wine-prefix.sh <prefix>. Needs DISPLAY set to a running X server.
set -euo pipefail
prefix=$1
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
stamp="$prefix/.kelvane-ready"
[ -f "$stamp" ] && exit 0

mkdir -p "$prefix"
wine wineboot -i >/dev/null 2>&1
wineserver -w

reg=$(mktemp --suffix=.reg)
cat > "$reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"Arial"="Liberation Sans"
"Verdana"="DejaVu Sans"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
REG
wine regedit /S "$(winepath -w "$reg" 2>/dev/null)" >/dev/null 2>&1
rm -f "$reg"
fonts="$prefix/drive_c/windows/Fonts"
mkdir -p "$fonts"
cp -n /usr/share/wine/fonts/*.ttf "$fonts/" 2>/dev/null || true
wineserver -w
touch "$stamp"
