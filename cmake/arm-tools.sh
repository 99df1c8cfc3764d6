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
[ ${#packages[@]} -eq 0 ] && exit 0
echo "Installing ${packages[*]} with apt-get (the ARM builds need them)"
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${packages[@]}" >/dev/null
