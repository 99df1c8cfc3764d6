#!/usr/bin/env bash
# Usage: stage-tree.sh <build> <dest> [tool]
# Installs the programs into <dest> and completes the relocatable layout around
# them: the stand-in plugin, and <target>/bin/{nm,ranlib,ar}. With [tool]
# every tool is a copy of it; without, the host's nm, ranlib and ar are linked
# in when they accept --plugin, else a stand-in that prints its arguments.
set -euo pipefail
build=$1 tree=$2 tool=${3:-}
# The directories as this build is configured: tree_tool_dir, tree_libexec_dir...
. "$build/tree-layout.sh"
cmake --install "$build" --prefix "$tree" >/dev/null
tools=$tree/$tree_tool_dir
mkdir -p "$tools"
cp "$build/demo/libtarn_plugin.so" "$tree/$tree_libexec_dir$plugin_file_name"
for name in nm ranlib ar; do
  host=$(command -v "$name" || true)
  if [ -n "$tool" ]; then
    cp "$tool" "$tools$name"
  elif [ -n "$host" ] && "$host" --help 2>&1 | grep -q -- '--plugin'; then
    ln -s "$host" "$tools$name"
    echo "  $tree_tool_dir$name -> $host (the host's own; it accepts --plugin)"
  else
    cp "$build/demo/demo_show_args" "$tools$name"
    echo "  $tree_tool_dir$name: a stand-in that prints its arguments"
  fi
done
