#!/usr/bin/env bash
# Makes sure the Windows cross compiler and Wine are on this machine,
# installing the two Debian packages when either is missing.
set -euo pipefail
packages=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || packages+=(g++-mingw-w64-x86-64-posix)
[ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null 2>&1 || packages+=(wine64)
exec bash "$(dirname "$0")/apt-install.sh" "the Windows build needs them" "${packages[@]}"
