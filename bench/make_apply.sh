#!/usr/bin/env bash
# Makes and applies a patch between two releases and reports where the time
# goes.
#   bench/make_apply.sh OLD.tar NEW.tar KIND [pakrev -m flags...]
# KIND: gz1..gz9 (GNU gzip -N -n) or bz21..bz29 (bzip2 -N). The tars are
# compressed into packages first; the compression of the new tar is timed on
# its own as the yardstick ("one plain compression").
# Prints the make time with its stages (unpacking, delta, compression search,
# writing), the ratio line, the apply time, and a byte-for-byte check.
set -euo pipefail
old=$(realpath "$1"); new=$(realpath "$2"); kind=$3; shift 3
flags="$*"
here=$(cd "$(dirname "$0")/.." && pwd)
export PATH="$here/build/bin:$PATH"
work=${BENCH_WORK:-$(mktemp -d /tmp/pakrev-bench.XXXXXX)}
mkdir -p "$work/pub" "$work/apply"
cd "$work/pub"

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

case $kind in
  gz?) ext=tar.gz; level=${kind#gz}; comp() { gzip -n -"$level" -c "$1"; } ;;
  bz2?) ext=tar.bz2; level=${kind#bz2}; comp() { bzip2 -"$level" -c "$1"; } ;;
  *) echo "unknown kind $kind" >&2; exit 2 ;;
esac
comp "$old" > old.$ext
t0=$(now); comp "$new" > new.$ext; t1=$(now)
baseline=$(secs "$t0" "$t1")

rm -f patch
start=$(now)
pakrev -mv $flags old.$ext new.$ext patch | while IFS= read -r line; do
  printf '%s %s\n' "$(now)" "$line"
done > make.log
end=$(now)
stamp() { grep -m1 "$1" make.log | cut -d' ' -f1; }
t_look=$(stamp "Looking at package contents"); t_delta=$(stamp "Making package delta")
t_ensure=$(stamp "Ensuring MD5sum"); t_out=$(stamp "Output package to")
ratio=$(grep -o 'Patch is .*' make.log)

cd "$work/apply"
rm -f new.$ext
a0=$(now)
pakrev -p -D "$work/pub" "$work/pub/patch" > apply.log
a1=$(now)
if cmp -s "$work/pub/new.$ext" new.$ext; then check=identical; else check=DIFFERENT; fi

printf 'kind %s  flags [%s]  tar %d bytes  package %d bytes  patch %d bytes\n' "$kind" "$flags" \
  "$(stat -c %s "$new")" "$(stat -c %s "$work/pub/new.$ext")" "$(stat -c %s "$work/pub/patch")"
printf 'one plain compression of the new tar: %ss\n' "$baseline"
printf 'make: %ss (unpack+digests %ss, delta %ss, compression search %ss, writing %ss)\n' \
  "$(secs "$start" "$end")" "$(secs "$t_look" "$t_delta")" "$(secs "$t_delta" "$t_ensure")" \
  "$(secs "$t_ensure" "$t_out")" "$(secs "$t_out" "$end")"
printf '%s\n' "$ratio"
printf 'apply: %ss, result %s (%s)\n' "$(secs "$a0" "$a1")" "$check" "$(cat apply.log)"
[ -n "${BENCH_WORK:-}" ] || rm -rf "$work"
