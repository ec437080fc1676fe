#!/usr/bin/env bash
# Picks random pairs of upstream .tar.xz tarballs from Debian's source
# archive (the bookworm and the trixie release of the same source package,
# with different upstream versions) and downloads them, plus every upstream
# .tar.zst found in either release.
#   bench/xz_corpus.sh DIR [PAIRS] [SEED] [MAX_BYTES]
# Makes DIR/apt (a private apt configuration), DIR/pairs.txt (package, old
# and new version, old and new tarball), DIR/singles.txt (the same for
# packages whose old tarball is not served) and DIR/pairs/PACKAGE/{old,new}/
# with the tarballs;
# DIR/zst/ holds the .tar.zst packages. Keep DIR out of the repository.
set -euo pipefail
dir=$(realpath -m "${1:?usage: bench/xz_corpus.sh DIR [PAIRS] [SEED] [MAX_BYTES]}")
pairs=${2:-36}
seed=${3:-15}
max=${4:-60000000}
mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial" "$dir/pairs" "$dir/zst"
cat > "$dir/apt/sources.list" <<SRC
deb-src http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian trixie main
SRC
cat > "$dir/apt/apt.conf" <<CONF
Dir::Etc::SourceList "$dir/apt/sources.list";
Dir::Etc::SourceParts "/nonexistent";
Dir::State::Lists "$dir/apt/lists";
Dir::Cache "$dir/apt/cache";
Dir::State::status "/var/lib/dpkg/status";
APT::Get::List-Cleanup "0";
CONF
export APT_CONFIG="$dir/apt/apt.conf"
[ -n "$(ls "$dir"/apt/lists/*trixie*Sources* 2>/dev/null)" ] || apt-get update -q >/dev/null

python3 - "$dir" "$pairs" "$seed" "$max" <<'PY'
import glob, os, random, re, subprocess, sys
d, want, seed, cap = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
def read(suite):
    out = {}
    for path in glob.glob(f"{d}/apt/lists/*_{suite}_main_source_Sources*"):
        text = subprocess.run(["/usr/lib/apt/apt-helper", "cat-file", path], capture_output=True,
                              check=True).stdout.decode("utf-8", "replace")
        for para in text.split("\n\n"):
            pkg = re.search(r"^Package: (.+)$", para, re.M)
            ver = re.search(r"^Version: (.+)$", para, re.M)
            files = re.search(r"^Checksums-Sha256:\n((?: .+\n?)+)", para, re.M)
            where = re.search(r"^Directory: (.+)$", para, re.M)
            if not (pkg and ver and files and where): continue
            tars = []
            for line in files.group(1).splitlines():
                digest, size, name = line.split()
                if re.search(r"\.debian\.tar\.|\.asc$|\.dsc$|\.diff\.gz$", name): continue
                if re.search(r"\.orig\.tar\.(xz|zst)$", name):
                    tars.append((name, int(size), f"{where.group(1)}/{name}", digest))
            if tars: out[pkg.group(1)] = (ver.group(1), tars)
    return out
old, new = read("bookworm"), read("trixie")
cands = []
for p in sorted(set(old) & set(new)):
    (ov, ot), (nv, nt) = old[p], new[p]
    ox = [t for t in ot if t[0].endswith(".xz")]; nx = [t for t in nt if t[0].endswith(".xz")]
    if len(ox) == 1 and len(nx) == 1 and ox[0][0] != nx[0][0] and ox[0][1] <= cap and nx[0][1] <= cap:
        cands.append((p, ov, nv, ox[0][0], nx[0][0], ox[0][2], ox[0][3], nx[0][2], nx[0][3]))
rng = random.Random(seed)
rng.shuffle(cands)
with open(f"{d}/candidates.txt", "w") as f:
    for c in cands: f.write(" ".join(c) + "\n")
zst = sorted({(p, v) for s in (old, new) for p, (v, t) in s.items() if any(n[0].endswith(".zst") for n in t)})
with open(f"{d}/zst.txt", "w") as f:
    for p, v in zst: f.write(f"{p} {v}\n")
print(f"{len(cands)} candidate pairs, {len(zst)} sources with .tar.zst")
PY

# The first PAIRS candidates whose two tarballs the archive still serves,
# trying at most TRIES candidates. Only the upstream tarball is fetched, by
# the address and SHA-256 the Sources index gives. A candidate whose new
# tarball is served but not its old one goes to DIR/singles.txt: it counts
# for the settings search, not for the patch sizes.
fetch() {  # fetch POOL-PATH SHA256 DEST-DIR
    local name
    name=$(basename "$1")
    mkdir -p "$3"
    [ -f "$3/$name" ] && echo "$2  $3/$name" | sha256sum -c --quiet - >/dev/null 2>&1 && return 0
    curl -fsS --max-time 600 -o "$3/$name.part" "http://deb.debian.org/debian/$1" 2>/dev/null ||
        { rm -f "$3/$name.part"; return 1; }
    echo "$2  $3/$name.part" | sha256sum -c --quiet - >/dev/null 2>&1 || { rm -f "$3/$name.part"; return 1; }
    mv "$3/$name.part" "$3/$name"
}
tries=${TRIES:-1000}
: > "$dir/pairs.txt"
: > "$dir/singles.txt"
n=0
while read -r p ov nv ot nt ou osum nu nsum; do
    [ "$(wc -l < "$dir/pairs.txt")" -ge "$pairs" ] && break
    n=$((n + 1))
    [ "$n" -gt "$tries" ] && break
    if fetch "$nu" "$nsum" "$dir/pairs/$p/new"; then
        if fetch "$ou" "$osum" "$dir/pairs/$p/old"; then
            echo "$p $ov $nv $ot $nt" >> "$dir/pairs.txt"
        else
            echo "$p $ov $nv $ot $nt" >> "$dir/singles.txt"
            rm -rf "${dir:?}/pairs/$p/old"
        fi
    else
        echo "not served: $p" >&2
        rm -rf "${dir:?}/pairs/$p"
    fi
done < "$dir/candidates.txt"
while read -r p v; do
    (cd "$dir/zst" && ls ./*.tar.zst >/dev/null 2>&1 && [ -n "$(ls "${p}"_*.tar.zst 2>/dev/null)" ]) || \
        (cd "$dir/zst" && apt-get source -q --download-only "$p=$v" >/dev/null 2>&1) || echo "failed: $p $v" >&2
done < "$dir/zst.txt"
echo done
