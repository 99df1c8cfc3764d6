#!/usr/bin/env bash
# Shows what the build produced. Grows into the full toolchain demo once the
# wrapper programs exist.
set -euo pipefail
build=${1:-build}
echo "Built in $build:"
find "$build" -maxdepth 2 -name '*.a' -printf '  %p\n' | sort
