#!/usr/bin/env bash
# Stages a relocatable toolchain tree from the build, runs vesk-nm,
# vesk-ranlib and vesk-ar from it on a sample object and archives, then moves
# the tree and runs them again from the new place.
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

# Runs a wrapper and, when strace is there to tell, shows what it started.
show_traced() {
  printf '$ %s\n' "$*"
  if ! command -v strace >/dev/null 2>&1; then
    "$@"
    return
  fi
  local log=$demo/strace.log
  strace -f -qq -s 4096 -e trace=execve -e signal=none -o "$log" "$@"
  local line
  line=$(grep 'execve(' "$log" | sed -n 2p)
  [ -n "$line" ] && printf '  [the wrapper started: %s]\n' \
    "$(sed -E 's/^[0-9]+ +execve\("[^"]*", \[(.*)\], .*/\1/; s/", "/ /g; s/"//g' <<<"$line")"
  return 0
}

run_from() {
  local bin=$1
  say "Running the wrappers from $bin"
  show_traced "$bin/vesk-nm" sample.o
  echo
  echo "The archive has no index yet:"
  show "$bin/vesk-nm" --print-armap libsample.a
  echo
  show_traced "$bin/vesk-ranlib" libsample.a
  echo "Now it has one:"
  show "$bin/vesk-nm" --print-armap libsample.a
  echo
  rm -f libbuilt.a
  show_traced "$bin/vesk-ar" rcs libbuilt.a sample.o
  echo "An archive that vesk-ar builds has its index from the start:"
  show "$bin/vesk-nm" --print-armap libbuilt.a
}

run_from toolchain/bin

moved=moved/elsewhere/toolchain
say "Moving the whole tree to $demo/$moved"
mkdir -p "$(dirname "$moved")"
mv toolchain "$moved"
show ar rcS libsample-2.a sample.o
mv libsample-2.a libsample.a
run_from "$moved/bin"

say "Done: the same programs found their plugin and tools in both places."
