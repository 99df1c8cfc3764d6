#!/usr/bin/env bash
# Usage: stage-tree.sh <build> <dest> [tool]
# Installs the programs into <dest> and completes the relocatable layout around
# them: the stand-in plugin, and epiphany-elf/bin/{nm,ranlib}. With [tool] both
# tools are copies of it; without, the host's nm and ranlib are linked in when
# they accept --plugin, else a stand-in that prints its arguments.
set -euo pipefail
build=$1 tree=$2 tool=${3:-}
libexec=$tree/libexec/vesk/epiphany-elf/4.9.2
cmake --install "$build" --prefix "$tree" >/dev/null
mkdir -p "$tree/lib/vesk/epiphany-elf/4.9.2" "$libexec" "$tree/epiphany-elf/bin"
cp "$build/demo/libtarn_plugin.so" "$libexec/"
for name in nm ranlib; do
  host=$(command -v "$name" || true)
  if [ -n "$tool" ]; then
    cp "$tool" "$tree/epiphany-elf/bin/$name"
  elif [ -n "$host" ] && "$host" --help 2>&1 | grep -q -- '--plugin'; then
    ln -s "$host" "$tree/epiphany-elf/bin/$name"
    echo "  epiphany-elf/bin/$name -> $host (the host's own; it accepts --plugin)"
  else
    cp "$build/demo/demo_show_args" "$tree/epiphany-elf/bin/$name"
    echo "  epiphany-elf/bin/$name: a stand-in that prints its arguments"
  fi
done
