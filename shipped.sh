#!/usr/bin/env bash
# Runs corvaxctl against the shipped corvax.sys instead of the host build: builds the Windows
# image and the harness when needed, then passes every argument to corvaxctl-shipped, e.g.
#   ./shipped.sh --fabric examples/fabrics/plx8618.json --json --log --stats script FILE
# CORVAX_SYS=path/to/corvax.sys runs another image (a signed one from the package, say).
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
win="$root/build/windows"
host="$root/build/shipped"
{
    if [ ! -f "$win/build.ninja" ]; then
        (cd "$root" && cmake --preset windows)
    fi
    cmake --build "$win" --target corvax
    if [ ! -f "$host/build.ninja" ]; then
        cmake -S "$root" -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
            -DCORVAX_WINDOWS_BUILD="$win"
    fi
    cmake --build "$host" --target corvaxctl-shipped
} >&2
exec "$host/tools/harness/corvaxctl-shipped" "$@"
