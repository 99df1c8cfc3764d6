#!/usr/bin/env bash
# Installs the Debian packages named after the first argument, which says what
# needs them; with none named there is nothing to do.
set -euo pipefail
needed_by=$1
shift
[ $# -eq 0 ] && exit 0
echo "Installing $* with apt-get ($needed_by)"
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
