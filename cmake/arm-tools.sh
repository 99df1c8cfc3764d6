#!/usr/bin/env bash
# Makes sure the two ARM Linux cross compilers and qemu-user are on this
# machine, installing the Debian packages that are missing.
set -euo pipefail
packages=()
command -v arm-linux-gnueabihf-g++ >/dev/null 2>&1 || packages+=(g++-arm-linux-gnueabihf)
command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || packages+=(g++-aarch64-linux-gnu)
{ command -v qemu-arm && command -v qemu-aarch64; } >/dev/null 2>&1 || packages+=(qemu-user)
# The cross builds compile the test framework from its source.
[ -f /usr/src/googletest/CMakeLists.txt ] || packages+=(googletest)
exec bash "$(dirname "$0")/apt-install.sh" "the ARM builds need them" "${packages[@]}"
