#!/usr/bin/env bash
# Sets up, builds, and runs the main job on the bundled example: make patches
# between real package releases, apply them in a clean directory, and show
# that every rebuilt package is byte-identical to the published one.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
export PATH="$PWD/build/bin:$PATH"

src=$PWD/example
out=$PWD/example/out
rm -rf "$out"
mkdir -p "$out/patches" "$out/mirror" "$out/rebuilt" "$out/chain"
cp "$src"/pakrev-0.1.tar.* "$src"/pakrev-0.2.tar.* "$out/mirror/"

step() { printf '\n== %s\n' "$*"; }
same() {
  if cmp -s "$1" "$2"; then echo "identical: $(basename "$2")"; else echo "DIFFERENT: $2"; exit 1; fi
}

cd "$out/patches"
step "make: plain patch between two gzip packages (xdelta)"
pakrev -m -d "$src" pakrev-0.1.tar.gz pakrev-0.2.tar.gz gz-0.1-0.2.prv
step "make: bzip2-compressed patch between two bzip2 packages, testing bzip2 releases (-e -b 9)"
pakrev -m -e -b 9 -d "$src" pakrev-0.1.tar.bz2 pakrev-0.2.tar.bz2 bz2-0.1-0.2.prv.bz2
step "make: patch with our own segdiff deltas (-j)"
pakrev -m -j -d "$src" pakrev-0.2.tar.gz pakrev-0.3.tar.gz gz-0.2-0.3.prv
ls -l "$out/patches"

step "apply in a clean directory, old packages from the mirror"
cd "$out/rebuilt"
pakrev -p -D "$out/mirror" "$out/patches/gz-0.1-0.2.prv" "$out/patches/bz2-0.1-0.2.prv.bz2"
same "$src/pakrev-0.2.tar.gz" pakrev-0.2.tar.gz
same "$src/pakrev-0.2.tar.bz2" pakrev-0.2.tar.bz2
cp pakrev-0.2.tar.gz "$out/mirror/"
pakrev -p -D "$out/mirror" "$out/patches/gz-0.2-0.3.prv"
same "$src/pakrev-0.3.tar.gz" pakrev-0.3.tar.gz

step "apply a chain of two patches in one step (-r): no intermediate package"
cd "$out/chain"
pakrev -p -r -D "$src" "$out/patches/gz-0.1-0.2.prv" "$out/patches/gz-0.2-0.3.prv"
ls
same "$src/pakrev-0.3.tar.gz" pakrev-0.3.tar.gz
[ ! -e pakrev-0.2.tar.gz ] && echo "no intermediate pakrev-0.2.tar.gz"

step "done: every rebuilt package is byte-identical to the published one"
