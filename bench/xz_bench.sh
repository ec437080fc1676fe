#!/usr/bin/env bash
# Settings search on the corpus of bench/xz_corpus.sh: one line per new
# package (and per .tar.zst found), plus the sizes of a delta of the tars
# and of the compressed files (xdelta3 -9 as a stand-in for the patch's delta).
#   bench/xz_bench.sh DIR [BUILD]
set -uo pipefail
dir=${1:?usage: bench/xz_bench.sh DIR [BUILD]}
build=${2:-build}
probe=$build/bin/settings_probe
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
while read -r p ov nv ot nt; do
    old=$dir/pairs/$p/old/$ot new=$dir/pairs/$p/new/$nt
    line=$("$probe" xz "$new" "$scratch/new.tar")
    xz -dc "$old" > "$scratch/old.tar"
    tard=$(xdelta3 -e -9 -f -s "$scratch/old.tar" "$scratch/new.tar" "$scratch/d" >/dev/null 2>&1 && stat -c %s "$scratch/d")
    rawd=$(xdelta3 -e -9 -f -s "$old" "$new" "$scratch/d" >/dev/null 2>&1 && stat -c %s "$scratch/d")
    echo "$p $(stat -c %s "$new") tar-delta=$tard compressed-delta=$rawd $line"
done < "$dir/pairs.txt"
