#!/usr/bin/env bash
# Stages a relocatable toolchain tree from the build, runs vesk-nm and
# vesk-ranlib from it on a sample object and archive, then moves the tree and
# runs them again from the new place.
set -euo pipefail
src=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
demo=$build/demo-run
rm -rf "$demo"
mkdir -p "$demo"
tree=$demo/toolchain

say() { printf '\n== %s\n' "$*"; }
show() {  # prints a command, then runs it
  printf '$ %s\n' "$*"
  "$@"
}

say "Staging a toolchain tree in $tree"
bash "$src/stage-tree.sh" "$build" "$tree"
(cd "$tree" && find . \( -type f -o -type l \) ! -path './share/*' | sort | sed 's/^/  /')

say "Compiling a sample object and an archive without an index"
cd "$demo"
show cc -c "$src/sample.c" -o sample.o
show ar rcS libsample.a sample.o

# What the wrapper really started, when strace is there to tell.
started() {
  if command -v strace >/dev/null 2>&1; then
    local log=$demo/strace.log
    strace -f -qq -e trace=execve -e signal=none -o "$log" "$@" >/dev/null 2>&1 || true
    local line
    line=$(grep -v -F "execve(\"$1\"" "$log" | grep -m1 'execve(' || true)
    [ -n "$line" ] && printf '  (it started: %s)\n' "$(sed -E 's/^[0-9]+ +execve\("[^"]*", \[(.*)\], .*/\1/; s/", "/ /g; s/"//g' <<<"$line")"
  fi
}

run_from() {
  local bin=$1
  say "Running the wrappers from $bin"
  show "$bin/vesk-nm" sample.o
  started "$bin/vesk-nm" sample.o
  show "$bin/vesk-ranlib" libsample.a
  started "$bin/vesk-ranlib" libsample.a
  show "$bin/vesk-nm" --print-armap libsample.a
}

run_from "$tree/bin"

moved=$demo/moved/elsewhere/toolchain
say "Moving the whole tree to $moved"
mkdir -p "$(dirname "$moved")"
mv "$tree" "$moved"
rm libsample.a
show ar rcS libsample.a sample.o
run_from "$moved/bin"

say "Done: the same programs found their plugin and tools in both places."
