#!/usr/bin/env python3
"""Draws a random sample of real pairs of upstream tarballs from Debian.

    bench/sample.py DIR [--count N] [--seed S] [--max-size BYTES]

A pair is the upstream tarball (the .orig.tar.*) of one source package in
bookworm and in trixie, where the upstream version differs. Candidates are
every such source package in main whose two tarballs are both at most
--max-size bytes compressed; they are sorted by name and shuffled with
--seed, and the first --count that download are taken.

DIR (keep it out of the repository) gets a private apt configuration with
deb-src lines for both releases (apt/), the downloaded sources (src/), and
the pairs as plain tars: pairs/NAME.old.tar and pairs/NAME.new.tar, listed
with their versions in pairs/list.tsv.
"""

import argparse
import concurrent.futures
import os
import random
import re
import subprocess
import sys

RELEASES = ("bookworm", "trixie")
MIRROR = "http://deb.debian.org/debian"


def apt_config(root):
    apt = os.path.join(root, "apt")
    for sub in ("lists/partial", "cache/archives/partial", "etc"):
        os.makedirs(os.path.join(apt, sub), exist_ok=True)
    with open(os.path.join(apt, "etc", "sources.list"), "w") as f:
        for release in RELEASES:
            f.write("deb-src %s %s main\n" % (MIRROR, release))
    conf = os.path.join(apt, "apt.conf")
    with open(conf, "w") as f:
        f.write('Dir::Etc::SourceList "%s/etc/sources.list";\n' % apt)
        f.write('Dir::Etc::SourceParts "/nonexistent";\n')
        f.write('Dir::State::Lists "%s/lists";\n' % apt)
        f.write('Dir::Cache "%s/cache";\n' % apt)
    return dict(os.environ, APT_CONFIG=conf), os.path.join(apt, "lists")


def sources(lists, release):
    """{package: (version, orig file name, orig size)} of one release."""
    name = [n for n in os.listdir(lists) if "_dists_%s_main_source_Sources" % release in n][0]
    text = subprocess.run(["/usr/lib/apt/apt-helper", "cat-file", os.path.join(lists, name)],
                          stdout=subprocess.PIPE, check=True).stdout.decode("utf-8", "replace")
    found = {}
    for stanza in text.split("\n\n"):
        pkg = re.search(r"^Package: (\S+)", stanza, re.M)
        ver = re.search(r"^Version: (\S+)", stanza, re.M)
        files = re.search(r"^Files:\n((?: .*\n?)+)", stanza, re.M)
        if not (pkg and ver and files):
            continue
        origs = [line.split() for line in files.group(1).splitlines()
                 if re.search(r"\.orig\.tar\.(gz|bz2|xz)$", line)]
        if len(origs) != 1:
            continue
        _, size, fname = origs[0]
        # The newest version wins when a release lists a package twice.
        found[pkg.group(1)] = (ver.group(1), fname, int(size))
    return found


def plain(path, out):
    tool = {"gz": "gzip", "bz2": "bzip2", "xz": "xz"}[path.rsplit(".", 1)[1]]
    with open(out + ".tmp", "wb") as f:
        subprocess.run([tool, "-dc", path], stdout=f, check=True)
    os.rename(out + ".tmp", out)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("dir")
    p.add_argument("--count", type=int, default=45)
    p.add_argument("--seed", type=int, default=16)
    p.add_argument("--max-size", type=int, default=12000000)
    args = p.parse_args()
    root = os.path.abspath(args.dir)
    env, lists = apt_config(root)
    subprocess.run(["apt-get", "update", "-qq"], env=env, check=True)
    old, new = (sources(lists, r) for r in RELEASES)
    candidates = sorted(n for n in old if n in new and old[n][1] != new[n][1]
                        and old[n][2] <= args.max_size and new[n][2] <= args.max_size)
    random.Random(args.seed).shuffle(candidates)
    print("%d candidates" % len(candidates), file=sys.stderr)
    src, pairs = os.path.join(root, "src"), os.path.join(root, "pairs")
    os.makedirs(src, exist_ok=True)
    os.makedirs(pairs, exist_ok=True)
    def fetch(name):
        """True when both tarballs of name are there as plain tars."""
        try:
            for side, info in (("old", old[name]), ("new", new[name])):
                tar = os.path.join(pairs, "%s.%s.tar" % (name, side))
                if os.path.exists(tar):
                    continue
                orig = os.path.join(src, info[1])
                if not os.path.exists(orig):
                    subprocess.run(["apt-get", "source", "-qq", "--download-only", "%s=%s" % (name, info[0])],
                                   cwd=src, env=env, check=True, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
                plain(orig, tar)
        except subprocess.CalledProcessError:
            return False
        return True

    # Downloads run a batch at a time in parallel; the pairs taken are the
    # first --count of the shuffled order that download, as if one by one.
    taken = []
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        for first in range(0, len(candidates), 32):
            batch = candidates[first:first + 32]
            for name, ok in zip(batch, pool.map(fetch, batch)):
                if ok and len(taken) < args.count:
                    taken.append((name, old[name][0], new[name][0]))
            print("%d of %d taken" % (len(taken), args.count), file=sys.stderr)
            if len(taken) == args.count:
                break
    with open(os.path.join(pairs, "list.tsv"), "w") as f:
        for row in taken:
            f.write("\t".join(row) + "\n")


if __name__ == "__main__":
    main()
