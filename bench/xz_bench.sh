#!/usr/bin/env bash
# The xz packages of bench/xz_corpus.sh through pakrev: one line per pair
# (DIR/pairs.txt) with the make and apply times, the patch size, the size of
# a pakrev patch of the two unpacked tars and of the two compressed files
# seen as opaque bytes, and the settings found, then the patch and the
# opaque-delta patch as bzip2 -9, gzip -9 and xz -9 make them (the sizes
# pakrev -m -b 9 and -g 9 write for the same entry); then one line per package
# whose old tarball was not served (DIR/singles.txt) with the settings search
# alone (bench helper settings_probe).
#   bench/xz_bench.sh DIR [BUILD] [SECONDS]
# SECONDS (default 900) bounds every make, apply and search: a pair that
# takes longer is recorded as "timeout". Run under nice; times are wall
# seconds on a shared machine. PART=pairs or PART=singles runs one part;
# PART=zstd instead makes zstd packages of one pair's tars (ZSTD_PAIR, the
# first pair by default) at several settings and runs them through pakrev;
# PART=sizes skips the settings search: per pair only the tar-delta and the
# opaque-delta patch, plain and as bzip2 -9, gzip -9 and xz -9 make them.
set -uo pipefail
part=${PART:-all}
dir=$(realpath "${1:?usage: bench/xz_bench.sh DIR [BUILD] [SECONDS]}")
build=$(realpath "${2:-build}")
limit=${3:-900}
pakrev=$build/bin/pakrev
probe=$build/bin/settings_probe
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
now() { date +%s.%N; }
size() { stat -c %s "$1" 2>/dev/null || echo -; }

if [ "$part" = zstd ]; then
    read -r p ov nv ot nt < <(grep "^${ZSTD_PAIR:-} *" "$dir/pairs.txt" | head -1)
    work=$scratch/zstd
    mkdir -p "$work/ws"
    xz -dc "$dir/pairs/$p/old/$ot" > "$work/old.tar" && xz -dc "$dir/pairs/$p/new/$nt" > "$work/new.tar"
    (cd "$work" && env TMPDIR="$work/ws" "$pakrev" -m old.tar new.tar t.prv) > /dev/null 2>&1
    echo "zstd packages of $p: tar $(size "$work/new.tar") bytes, tar delta $(size "$work/t.prv") bytes"
    echo "options new-bytes compress-s result settings make-s apply-s patch-bytes"
    for options in "-1" "-3" "-9" "-19" "--ultra -22" "--long" "--long=30 -19" "-T2" \
                   "-T2 --long" "--no-check" "--single-thread -3" "--single-thread -19"; do
        zstd -q -f $options "$work/old.tar" -o "$work/old.tar.zst"
        start=$(now)
        zstd -q -f $options "$work/new.tar" -o "$work/new.tar.zst"
        packed=$(seconds "$start" "$(now)")
        start=$(now)
        (cd "$work" && timeout "$limit" env TMPDIR="$work/ws" "$pakrev" -v -m -f old.tar.zst \
            new.tar.zst p.prv) > "$work/make.out" 2>&1
        made=$(seconds "$start" "$(now)")
        settings=$(grep -o 'zstd settings: .*' "$work/make.out" | head -1 | sed 's/^zstd settings: //; s/, /,/g; s/ /_/g')
        grep -q 'zstd settings not found' "$work/make.out" && settings=opaque
        mv "$work/new.tar.zst" "$work/published"
        start=$(now)
        if (cd "$work" && timeout "$limit" env TMPDIR="$work/ws" "$pakrev" -p -D . p.prv) \
            > /dev/null 2>&1 && cmp -s "$work/new.tar.zst" "$work/published"; then
            result=identical
        else
            result=differs
        fi
        applied=$(seconds "$start" "$(now)")
        echo "\"$options\" $(size "$work/published") $packed $result ${settings:--} $made $applied $(size "$work/p.prv")"
        rm -f "$work/new.tar.zst" "$work/published" "$work/p.prv"
    done
    exit 0
fi

# Sizes of FILE as bzip2 -9, gzip -9 and xz -9 write it, or "- - -".
squeezed() {
    local c
    for c in bzip2 gzip xz; do
        if [ -f "$1" ]; then printf ' %s' "$("$c" -9 < "$1" | wc -c)"; else printf ' -'; fi
    done
}

if [ "$part" = sizes ]; then
    echo "package new-bytes tar-delta-bytes tar-bz9 tar-gz9 tar-xz9 opaque-delta-bytes opaque-bz9 opaque-gz9 opaque-xz9"
    while read -r p ov nv ot nt; do
        work=$scratch/$p
        mkdir -p "$work/ws"
        xz -dc "$dir/pairs/$p/old/$ot" > "$work/old.tar" && xz -dc "$dir/pairs/$p/new/$nt" > "$work/new.tar"
        (cd "$work" && timeout "$limit" env TMPDIR="$work/ws" "$pakrev" -m old.tar new.tar t.prv) \
            > /dev/null 2>&1
        rm -f "$work/old.tar" "$work/new.tar"
        cp "$dir/pairs/$p/old/$ot" "$work/old.bin" && cp "$dir/pairs/$p/new/$nt" "$work/new.bin"
        (cd "$work" && timeout "$limit" env TMPDIR="$work/ws" "$pakrev" -m old.bin new.bin o.prv) \
            > /dev/null 2>&1
        echo "$p $(size "$dir/pairs/$p/new/$nt") $(size "$work/t.prv")$(squeezed "$work/t.prv")" \
             "$(size "$work/o.prv")$(squeezed "$work/o.prv")"
        rm -rf "$work"
    done < "$dir/pairs.txt"
    exit 0
fi

[ "$part" != singles ] && printf "%s %s\n" "package new-bytes result settings make-s apply-s patch-bytes tar-delta-bytes opaque-delta-bytes" \
    "patch-bz9 patch-gz9 patch-xz9 opaque-bz9 opaque-gz9 opaque-xz9"
while read -r p ov nv ot nt; do
    work=$scratch/$p
    mkdir -p "$work/ws"
    cp "$dir/pairs/$p/old/$ot" "$dir/pairs/$p/new/$nt" "$work/"
    start=$(now)
    (cd "$work" && timeout "$limit" env TMPDIR="$work/ws" "$pakrev" -v -m "$ot" "$nt" p.prv) \
        > "$work/make.out" 2>&1
    rc=$?
    made=$(seconds "$start" "$(now)")
    result=made
    if [ $rc = 124 ]; then result=timeout; elif [ $rc != 0 ]; then result=make-failed; fi
    settings=$(grep -o 'xz settings: .*' "$work/make.out" | head -1 | sed 's/^xz settings: //; s/, /,/g; s/ /_/g')
    grep -q 'xz settings not found' "$work/make.out" && settings=opaque
    applied=-
    if [ $result = made ]; then
        mv "$work/$nt" "$work/published"
        start=$(now)
        if (cd "$work" && timeout "$limit" env TMPDIR="$work/ws" "$pakrev" -p -D . p.prv) \
            > "$work/apply.out" 2>&1 && cmp -s "$work/$nt" "$work/published"; then
            result=identical
        else
            result=apply-failed
        fi
        applied=$(seconds "$start" "$(now)")
        mv -f "$work/published" "$work/$nt"
    fi
    # A delta of the unpacked tars, and of the compressed files as bytes.
    xz -dc "$work/$ot" > "$work/old.tar" && xz -dc "$work/$nt" > "$work/new.tar"
    (cd "$work" && timeout "$limit" env TMPDIR="$work/ws" "$pakrev" -m old.tar new.tar t.prv) \
        > /dev/null 2>&1
    cp "$work/$ot" "$work/old.bin" && cp "$work/$nt" "$work/new.bin"
    (cd "$work" && timeout "$limit" env TMPDIR="$work/ws" "$pakrev" -m old.bin new.bin o.prv) \
        > /dev/null 2>&1
    echo "$p $(size "$work/$nt") $result ${settings:--} $made $applied $(size "$work/p.prv")" \
         "$(size "$work/t.prv") $(size "$work/o.prv")$(squeezed "$work/p.prv")$(squeezed "$work/o.prv")"
    rm -rf "$work"
done < <([ "$part" != singles ] && cat "$dir/pairs.txt")

[ "$part" != pairs ] && [ -s "$dir/singles.txt" ] && printf '%s\n' "package new-bytes settings_probe-line"
while read -r p ov nv ot nt; do
    line=$(timeout "$limit" "$probe" xz "$dir/pairs/$p/new/$nt" "$scratch/new.tar")
    [ $? = 124 ] && line=timeout
    echo "$p $(size "$dir/pairs/$p/new/$nt") $line"
    rm -f "$scratch/new.tar"
done < <([ "$part" != pairs ] && cat "$dir/singles.txt" 2>/dev/null)
