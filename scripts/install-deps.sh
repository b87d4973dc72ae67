#!/usr/bin/env bash
# Installs with apt-get what the build and the tests need, when something is missing.
set -euo pipefail
packages=(
    cmake ninja-build g++ clang clang-format libclang-rt-14-dev clang-14 lld lld-14 llvm-14
    libgtest-dev libgmock-dev nlohmann-json3-dev libcli11-dev
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
    binutils-mingw-w64-x86-64 wine64 python3
    openssl osslsigncode python3-pefile python3-jsonschema libzydis-dev
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
