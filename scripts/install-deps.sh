#!/usr/bin/env bash
# Installs what the builds and tests need on a fresh Debian machine; does nothing when all of it
# is already there.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-dev googletest libgtest-dev libgmock-dev libbenchmark-dev
          g++-mingw-w64-x86-64-posix wine64 util-linux python3 zip unzip)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
