#!/usr/bin/env bash
# Installs what pakrev needs on Debian 12 (when something is missing),
# then configures and builds into the given build directory.
#   scripts/setup.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true

packages="cmake ninja-build g++ libgtest-dev zlib1g-dev libbz2-dev libssl-dev liblzma-dev libzstd-dev pkg-config xdelta gzip bzip2 pigz libdeflate-tools zopfli busybox p7zip-full xz-utils zstd tar diffutils findutils"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q $missing
fi

cmake -S . -B "$build" -G Ninja "$@" >/dev/null
cmake --build "$build"
