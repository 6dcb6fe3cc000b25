#!/usr/bin/env bash
# Builds the per-user MSI installer (cmake/installer.wxs) with wixl from a
# folder that holds the programs it installs, with the version given.
# Usage: make-msi.sh <folder of the programs> <version> <out.msi>
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
files=$1 version=$2 out=$3
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac

# wixl finds each file by its name in the folder it runs in.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$files"/*.exe "$work/"
cp "$root/app/resources/app.ico" "$work/"
(cd "$work" && wixl --arch x64 --define "Version=$version" --output "$out" "$root/cmake/installer.wxs")
