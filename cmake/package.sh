#!/usr/bin/env bash
# Builds the release archive of every host, each in a Release folder of its own
# under the folder given, whatever the developer build's default, and writes
# SHA256SUMS beside the archives. Two runs on one commit give the same bytes
# wherever and whenever they run: the programs hold no build path and no link
# time, and the archives hold the commit's time, owner 0 and fixed modes, with
# their entries in name order. Further arguments go to every configure step.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "${1:?usage: package.sh <release folder> [cmake arguments...]}"
out=$(cd "$1" && pwd)
shift
jobs=${JOBS:-$(nproc)}
# The builder's own flags would reach the programs (CMake reads them at the
# first configure) and change their bytes; CMAKE_FLAGS is the way to add
# flags on purpose.
unset CFLAGS CXXFLAGS LDFLAGS CPPFLAGS
generator=${GENERATOR:-$(command -v ninja >/dev/null 2>&1 && echo Ninja || echo 'Unix Makefiles')}

bash "$src/cmake/windows-tools.sh"
bash "$src/cmake/arm-tools.sh"
command -v zip >/dev/null 2>&1 || bash "$src/cmake/apt-install.sh" "the Windows archive needs it" zip

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct 2>/dev/null) ||
    { echo "package.sh: not a git checkout; set SOURCE_DATE_EPOCH to the release's time" >&2; exit 1; }
  if [ -n "$(git -C "$src" status --porcelain --untracked-files=no)" ]; then
    echo "package.sh: the checkout has uncommitted changes; the archives are not its commit's" >&2
  fi
fi
export SOURCE_DATE_EPOCH

# Runs a step quietly, its output kept in the given log and shown if it fails.
quiet() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { cat "$log"; echo "package.sh: failed: $*" >&2; exit 1; }
}

archives=()
for host in native:tar.gz windows:zip armhf:tar.gz aarch64:tar.gz; do
  name=${host%%:*} format=${host#*:}
  dir=$out/$name
  toolchain=()
  case $name in
    windows) toolchain=(--toolchain "$src/cmake/x86_64-w64-mingw32.cmake") ;;
    armhf) toolchain=(--toolchain "$src/cmake/arm-linux-gnueabihf.cmake") ;;
    aarch64) toolchain=(--toolchain "$src/cmake/aarch64-linux-gnu.cmake") ;;
  esac
  echo "== $name"
  mkdir -p "$dir"
  # A build folder keeps the generator it was first configured with.
  if [ -f "$dir/CMakeCache.txt" ]; then set_generator=(); else set_generator=(-G "$generator"); fi
  quiet "$dir/configure.log" cmake -S "$src" -B "$dir" "${set_generator[@]}" "${toolchain[@]}" "$@" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
  quiet "$dir/build.log" cmake --build "$dir" -j"$jobs" --target vesk-nm vesk-ranlib vesk-ar

  # The installed tree, stripped, under the archive's own top folder, named as
  # the build's package configuration names it.
  archive_name=$(sed -n 's/^set(CPACK_PACKAGE_FILE_NAME "\(.*\)")$/\1/p' "$dir/CPackConfig.cmake")
  [ -n "$archive_name" ] || { echo "package.sh: no package name in $dir/CPackConfig.cmake" >&2; exit 1; }
  stage=$dir/stage
  rm -rf "$stage"
  quiet "$dir/install.log" cmake --install "$dir" --prefix "$stage/$archive_name" --strip
  chmod -R u=rwX,go=rX "$stage"
  find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

  archive=$archive_name.$format
  rm -f "$out/$archive"
  (
    cd "$stage"
    if [ "$format" = zip ]; then
      # No extra fields, which would hold the owner; an entry's time is a
      # local time, so the zone is fixed.
      find "$archive_name" | LC_ALL=C sort | TZ=UTC0 zip -q -X -@ "$out/$archive"
    else
      find "$archive_name" -print0 | LC_ALL=C sort -z |
        tar --create --format=gnu --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
          --no-recursion --null --files-from=- | gzip -9 -n >"$out/$archive"
    fi
  )
  archives+=("$archive")
done

(cd "$out" && sha256sum -- "${archives[@]}" >SHA256SUMS)
for file in "${archives[@]}" SHA256SUMS; do echo "$out/$file"; done
