#!/usr/bin/env python3
"""Picks the gzip sample: source packages whose bookworm and trixie releases
both ship an upstream tarball .orig.tar.gz of different upstream versions,
drawn at random with a fixed seed, and downloads them with apt-get source.

  gzip_sample.py APT_CONFIG OUTDIR [COUNT] [SEED] [MAX_BYTES]

APT_CONFIG is a private apt configuration with deb-src lines for bookworm
and trixie (already updated). Writes OUTDIR/pairs.tsv: name, old file, new
file. Packages whose tarballs exceed MAX_BYTES are left out before the draw.
Packages are taken in the drawn order; one whose two tarballs cannot both be
fetched is skipped (and listed in OUTDIR/skipped.txt) until COUNT pairs are
complete.
"""
import glob, os, random, subprocess, sys

def sources(path):
    pkg = {}
    files = False
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if line == "\n":
                if pkg:
                    yield pkg
                pkg, files = {}, False
                continue
            if line[0] in " \t":
                if files:
                    pkg.setdefault("files", []).append(line.split())
                continue
            key, _, value = line.partition(":")
            files = key == "Files"
            pkg[key] = value.strip()
    if pkg:
        yield pkg

def origs(path):
    out = {}
    for p in sources(path):
        tars = [(f[2], int(f[1])) for f in p.get("files", []) if f[2].endswith(".orig.tar.gz")]
        if len(tars) == 1:
            out[p["Package"]] = (p["Version"], tars[0][0], tars[0][1])
    return out

def main():
    conf, outdir = sys.argv[1], sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 48
    seed = int(sys.argv[4]) if len(sys.argv) > 4 else 14
    limit = int(sys.argv[5]) if len(sys.argv) > 5 else 30 << 20
    lists = os.path.join(os.path.dirname(conf), "state", "lists")
    old = origs(glob.glob(os.path.join(lists, "*bookworm_main_source_Sources"))[0])
    new = origs(glob.glob(os.path.join(lists, "*trixie_main_source_Sources"))[0])
    names = sorted(n for n in old if n in new and old[n][1] != new[n][1]
                   and old[n][2] <= limit and new[n][2] <= limit)
    random.Random(seed).shuffle(names)
    os.makedirs(outdir, exist_ok=True)
    env = dict(os.environ, APT_CONFIG=conf)
    done = 0
    with open(os.path.join(outdir, "pairs.tsv"), "w") as tsv, \
            open(os.path.join(outdir, "skipped.txt"), "w") as skipped:
        for n in names:
            if done == count:
                break
            d = os.path.join(outdir, n)
            os.makedirs(d, exist_ok=True)
            for version, fname, _ in (old[n], new[n]):
                if not os.path.exists(os.path.join(d, fname)):
                    subprocess.run(["apt-get", "source", "--download-only", "-q",
                                    f"{n}={version}"], cwd=d, env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   check=False)
            if all(os.path.exists(os.path.join(d, f)) for f in (old[n][1], new[n][1])):
                tsv.write(f"{n}\t{old[n][1]}\t{new[n][1]}\n")
                tsv.flush()
                done += 1
                print(n, old[n][1], new[n][1], flush=True)
            else:
                skipped.write(n + "\n")
    print(f"{len(names)} candidates, {done} pairs complete (seed {seed})")

main()
