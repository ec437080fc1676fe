#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) in build-fuzz/ and runs each for a while.
#
#   scripts/fuzz.sh [seconds] [target...]
#
#   seconds   how long each target runs (default 60)
#   target    fuzz_patch_reader, fuzz_sniff, fuzz_segdiff_apply, fuzz_deflate_rebuild
#             (default: all)
#
# The corpus of each target grows in build-fuzz/corpus/<target>/ and is reused
# by the next run; a few seed inputs are written there first. An input that
# crashes a target is saved as build-fuzz/artifacts/<target>-crash-...; the
# script goes on with the other targets and exits 1 at the end if any target
# failed. Replay one input with: build-fuzz/bin/<target> <file>
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_patch_reader fuzz_sniff fuzz_segdiff_apply fuzz_deflate_rebuild)
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DPAKREV_FUZZ=ON -DPAKREV_TESTS=OFF \
  -DPAKREV_SANITIZE=ON >/dev/null || exit 1
cmake --build "$build" --target "${targets[@]}" || exit 1

# Seeds: a version 4 patch with one entry, a version 2 patch, a small segdiff
# delta, a gzip and a tar header for the sniffer.
seed() {  # seed TARGET NAME PRINTF-FORMAT
  mkdir -p "$build/corpus/$1"
  printf "$3" > "$build/corpus/$1/seed-$2"
}
md5='0123456789abcdef'
seed fuzz_patch_reader v4 "PRV\x04\x00\x03\x00old${md5}\x03\x00new${md5}\x02\x00\x02\x00\x09\x00\x00\x00\x03\x00\x00\x00\x02\x00\x00\x00dd\x01\x00\x00\x00f"
seed fuzz_patch_reader v2 "PRV\x02\x00\x02\x00\x01\x00a\x01\x00b\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00d\x01\x00c\x01\x00d\x01\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00e"
seed fuzz_segdiff_apply one "SGD\x01\x00\x04\x00\x00\x00\x00\x09\x00\x00\x00\x02\x00\x00\x00\x02\x00\x00\x00\x01\x00\x00\x00\x03\x00\x00\x00\xfe\xff\xff\xff\x00\x00\x00\x02\x00\x00\x00xyz"
seed fuzz_deflate_rebuild empty "\x10\x00\x00\x00\x00\x00\x00\x00"
seed fuzz_deflate_rebuild gzip "\x17\x00\x7f\x12\x80\x00\x00\x05\x00\x33\x00\x00"
seed fuzz_deflate_rebuild block "\x37\x00\x7f\x12\x80\x00\x00\x05\x00\x33\x00\x00"
seed fuzz_deflate_rebuild v2 "\x57\x00\x7f\x12\x80\x00\x00\x05\x00\x33\x00\x00"
seed fuzz_deflate_rebuild v2crc "\xd7\x00\x7f\x12\x80\x00\x00\x05\x00\x33\x00\x00"
seed fuzz_deflate_rebuild fields "\x26\x01\x00\x01\x00\x00\x00z\x03\x81\x04\x00\x00\x00PKDF"
seed fuzz_sniff gzip "\x00\x1f\x8b\x08\x00"
seed fuzz_sniff segdiff "\x03SGD"
mkdir -p "$build/corpus/fuzz_sniff" "$build/artifacts"
{ printf '\x00file.txt'; head -c 249 /dev/zero; printf 'ustar\x0000'; head -c 300 /dev/zero; } \
  > "$build/corpus/fuzz_sniff/seed-tar"

# The segdiff target writes files on every run; keep them in memory if we can.
[ -n "${TMPDIR:-}" ] || { [ -d /dev/shm ] && [ -w /dev/shm ] && export TMPDIR=/dev/shm; }
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
for t in "${targets[@]}"; do
  echo "== $t: ${seconds}s"
  mkdir -p "$build/corpus/$t"
  if ! "$build/bin/$t" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$t-" "$build/corpus/$t" 2> "$build/$t.log"; then
    echo "$t FAILED; log: $build/$t.log"
    tail -n 40 "$build/$t.log"
    failed=1
  else
    grep -E '^stat::number_of_executed_units|^Done' "$build/$t.log"
  fi
done
exit $failed
