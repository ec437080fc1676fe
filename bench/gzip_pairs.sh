#!/usr/bin/env bash
# The real-world gzip table: for each pair of bench/gzip_sample.py's
# pairs.tsv, make a patch with the pakrev given (old -> new), apply it and
# check the rebuilt package byte for byte. Prints one line per pair:
# name, result, new kind, patch bytes, new package bytes, make s, apply s.
#   bench/gzip_pairs.sh PAKREV PAIRS_DIR
set -u
pakrev=$1 dir=$2
while IFS=$'\t' read -r name old new; do
  w=$(mktemp -d)
  mkdir "$w/old" "$w/new" "$w/out"
  cp "$dir/$name/$old" "$w/old/"; cp "$dir/$name/$new" "$w/new/"
  t0=$(date +%s.%N)
  "$pakrev" -mv -d "$w/new/" -D "$w/old/" "$old" "$new" "$w/p.prv" > "$w/make.log" 2>&1
  t1=$(date +%s.%N)
  result=fail kind=- psize=-
  if [ -f "$w/p.prv" ]; then
    psize=$(stat -c %s "$w/p.prv")
    kind=$(grep -E "^zlib level|^pigz -c|compressing with gzip level|trying gzip --rsyncable" "$w/make.log" | tail -1 | tr " " _)
    cp "$w/old/$old" "$w/out/"
    (cd "$w/out" && "$pakrev" -p ../p.prv > ../apply.log 2>&1)
    cmp -s "$w/out/$new" "$w/new/$new" && result=ok
  fi
  t2=$(date +%s.%N)
  printf "%s\t%s\t%s\t%s\t%s\t%.2f\t%.2f\t%s\n" "$name" "$result" "$kind" "$psize" \
    "$(stat -c %s "$w/new/$new")" "$(echo "$t1 - $t0" | bc)" "$(echo "$t2 - $t1" | bc)" \
    "$(grep -m1 -i error "$w/make.log")"
  rm -rf "$w"
done < "$dir/pairs.tsv"
