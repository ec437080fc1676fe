#!/usr/bin/env bash
# Times make and apply of one pair beside one plain compression of the new
# tar, side by side with farm-bench (A = pakrev, B = the compression, run in
# turn, the ratio taken pair by pair), with -T 1 and with the default -T.
#   bench/make_apply_ab.sh OLD.tar NEW.tar KIND [RUNS]
# KIND: gz1..gz9 (GNU gzip -N -n) or bz21..bz29 (bzip2 -N). Prints one block
# of farm-bench output per measurement, headed by what it measures. Run it
# under nice on a shared machine; the ratios are what to quote.
set -euo pipefail
old=$(realpath "$1"); new=$(realpath "$2"); kind=$3; runs=${4:-3}
here=$(cd "$(dirname "$0")/.." && pwd)
pakrev="$here/build/bin/pakrev"
export PATH="$here/build/bin:$PATH"
work=$(mktemp -d /tmp/pakrev-ab.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/pub" "$work/apply"

case $kind in
  gz?) ext=tar.gz; level=${kind#gz}; plain="gzip -n -$level -c $new" ;;
  bz2?) ext=tar.bz2; level=${kind#bz2}; plain="bzip2 -$level -c $new" ;;
  *) echo "unknown kind $kind" >&2; exit 2 ;;
esac
sh -c "${plain/$new/$old}" > "$work/pub/old.$ext"
sh -c "$plain" > "$work/pub/new.$ext"
cp "$work/pub/old.$ext" "$work/apply/"
"$pakrev" -m -T 1 -D "$work/pub/" -d "$work/pub/" old.$ext new.$ext "$work/patch" > /dev/null
printf 'kind %s  tar %d bytes  package %d bytes  patch %d bytes\n' "$kind" "$(stat -c %s "$new")" \
  "$(stat -c %s "$work/pub/new.$ext")" "$(stat -c %s "$work/patch")"

yardstick="sh -c 'exec $plain > /dev/null'"
for threads in "-T 1" ""; do
  echo "== make ${threads:-default -T} vs one plain compression"
  farm-bench -n "$runs" --warmup 0 --timeout 3000 --vs "$yardstick" -- \
    "$pakrev" -m -f $threads -D "$work/pub/" -d "$work/pub/" old.$ext new.$ext "$work/made"
  cmp "$work/made" "$work/patch"
  echo "== apply ${threads:-default -T} vs one plain compression"
  farm-bench -n "$runs" --warmup 0 --timeout 3000 --vs "$yardstick" -- \
    sh -c "cd '$work/apply' && exec '$pakrev' -p -f $threads '$work/patch' > /dev/null"
  cmp "$work/apply/new.$ext" "$work/pub/new.$ext"
done
