#!/usr/bin/env bash
# Assembles the delta benchmark's corpus from Debian's package archive:
# pairs of releases of the same tree, as plain tar files.
#   bench/corpus.sh DIR [PAIR...]
# Makes in DIR (several GB for the kernel pair; keep it out of the repo):
#   tzdata-OLD.tar        tzdata-NEW.tar          small:  compiled time zone files
#   linux-doc-OLD.tar     linux-doc-NEW.tar       medium: kernel documentation tree
#   glibc-OLD.tar         glibc-NEW.tar           medium: glibc source tarballs
#   linux-OLD.tar         linux-NEW.tar           large:  kernel source tarballs
# PAIR (tzdata, linux-doc, glibc, linux) limits the run to those pairs. The
# versions below are those the benchmark table was made with; a version the
# archive no longer carries can be swapped for another pair listed by
# "apt-cache policy PACKAGE", through the environment: for example
#   LINUX_OLD=6.1.190-1 LINUX_NEW=6.1.192-2 bench/corpus.sh DIR linux
set -euo pipefail

dir=${1:?usage: bench/corpus.sh DIR [PAIR...]}
shift
pairs=${*:-tzdata linux-doc glibc linux}
want() { [[ " $pairs " == *" $1 "* ]]; }
mkdir -p "$dir/debs"
cd "$dir"

TZDATA_OLD=${TZDATA_OLD:-2026b-0+deb12u1}    TZDATA_NEW=${TZDATA_NEW:-2026f-0+deb12u1}
LINUXDOC_OLD=${LINUXDOC_OLD:-6.1.192-2}        LINUXDOC_NEW=${LINUXDOC_NEW:-6.1.194-1}
GLIBC_OLD=${GLIBC_OLD:-2.36-9+deb12u7}      GLIBC_NEW=${GLIBC_NEW:-2.36-9+deb12u14}
LINUX_OLD=${LINUX_OLD:-6.1.192-2}           LINUX_NEW=${LINUX_NEW:-6.1.194-1}

fetch() {  # package version -> path of the .deb
    local deb
    deb=$(ls debs/"$1"_"${2/:/%3a}"_*.deb 2>/dev/null | head -n 1 || true)
    if [ -z "$deb" ]; then
        (cd debs && apt-get download "$1=$2" >/dev/null)
        deb=$(ls debs/"$1"_"${2/:/%3a}"_*.deb | head -n 1)
    fi
    echo "$deb"
}

unpack() {  # package version -> directory holding the package's files
    local out="x-$1-$2"
    if [ ! -d "$out" ]; then
        mkdir -p "$out.tmp"
        dpkg-deb -x "$(fetch "$1" "$2")" "$out.tmp"
        mv "$out.tmp" "$out"
    fi
    echo "$out"
}

# A tree from a package, archived the way a release tarball would be.
tree_tar() {  # package version subdir name
    [ -f "$4" ] && return
    local root
    root=$(unpack "$1" "$2")
    tar -C "$root/$3" --sort=name --owner=0 --group=0 --numeric-owner -cf "$4.tmp" .
    mv "$4.tmp" "$4"
}

# A tarball that the package ships, decompressed.
shipped_tar() {  # package version path-glob name
    [ -f "$4" ] && return
    local root
    root=$(unpack "$1" "$2")
    # shellcheck disable=SC2086
    xz -dc $root/$3 > "$4.tmp"
    mv "$4.tmp" "$4"
}

if want tzdata; then
    tree_tar tzdata "$TZDATA_OLD" usr/share/zoneinfo tzdata-old.tar
    tree_tar tzdata "$TZDATA_NEW" usr/share/zoneinfo tzdata-new.tar
fi
if want linux-doc; then
    tree_tar linux-doc-6.1 "$LINUXDOC_OLD" usr/share/doc/linux-doc-6.1 linux-doc-old.tar
    tree_tar linux-doc-6.1 "$LINUXDOC_NEW" usr/share/doc/linux-doc-6.1 linux-doc-new.tar
fi
if want glibc; then
    shipped_tar glibc-source "$GLIBC_OLD" 'usr/src/glibc/glibc-*.tar.xz' glibc-old.tar
    shipped_tar glibc-source "$GLIBC_NEW" 'usr/src/glibc/glibc-*.tar.xz' glibc-new.tar
fi
if want linux; then
    shipped_tar linux-source-6.1 "$LINUX_OLD" 'usr/src/linux-source-*.tar.xz' linux-old.tar
    shipped_tar linux-source-6.1 "$LINUX_NEW" 'usr/src/linux-source-*.tar.xz' linux-new.tar
fi
rm -rf x-*
ls -l "$dir"/*.tar
