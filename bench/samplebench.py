#!/usr/bin/env python3
"""Delta sizes over a sample of pairs, segdiff beside the other makers.

    bench/samplebench.py PAIRS [--only segdiff] [--cache FILE] [--before FILE]

PAIRS is the pairs/ directory that bench/sample.py made (list.tsv and
NAME.old.tar, NAME.new.tar). For every pair each tool of deltabench.py
(segdiff, xdelta -0, xdelta3 -9 -S djw, bsdiff, zstd -19 --long=31) makes a
delta, applies it and checks the result byte for byte; the rows go to a
cache (default PAIRS/results.json), so that --only segdiff measures a new
segdiff against the others' stored figures. Prints one markdown row per
pair (sizes in bytes: segdiff and xdelta -0 after bzip2 -9, the others as
written) and the totals, with segdiff's ratio to xdelta3 and to the smaller
of xdelta3 and bsdiff. --before names the cache of an earlier run, whose
segdiff sizes are shown beside this run's (keep a copy of the cache before
measuring a new segdiff with --only segdiff).
"""

import argparse
import json
import os
import sys
import tempfile
import shutil

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import deltabench  # noqa: E402

COLUMNS = [("segdiff", "bz2"), ("xdelta -0", "bz2"), ("xdelta3 -9 -S djw", "raw"), ("bsdiff", "raw"),
           ("zstd -19 --long=31", "raw")]


def size_of(rows, tool, field):
    r = rows.get(tool)
    if not r or r.get("check") != "OK":
        return None
    return r[field]


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("pairs")
    p.add_argument("--only", default=None, help="comma-separated tool names to run again")
    p.add_argument("--cache", default=None)
    p.add_argument("--before", default=None, help="cache of an earlier run: its segdiff sizes as a column")
    p.add_argument("--bin", default=os.path.join(deltabench.HERE, "..", "build", "bin"))
    args = p.parse_args()
    cache_path = args.cache or os.path.join(args.pairs, "results.json")
    cache = json.load(open(cache_path)) if os.path.exists(cache_path) else {}
    bindir = os.path.abspath(args.bin)
    env = dict(os.environ, PATH=bindir + os.pathsep + os.environ.get("PATH", ""))
    chosen = deltabench.tools(bindir)
    if args.only:
        names = [n.strip() for n in args.only.split(",")]
        chosen = [t for t in chosen if t.name.split()[0] in names]
    pairs = [line.rstrip("\n").split("\t") for line in open(os.path.join(args.pairs, "list.tsv"))]
    work = tempfile.mkdtemp(prefix="samplebench-")
    try:
        for name, _, _ in pairs:
            old = os.path.join(args.pairs, name + ".old.tar")
            new = os.path.join(args.pairs, name + ".new.tar")
            rows = cache.setdefault(name, {})
            for t in chosen:
                if args.only or t.name not in rows:
                    rows[t.name] = deltabench.measure(t, old, new, work, env)
            rows["sizes"] = [os.path.getsize(old), os.path.getsize(new)]
            json.dump(cache, open(cache_path + ".tmp", "w"), indent=1)
            os.replace(cache_path + ".tmp", cache_path)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    before = json.load(open(args.before)) if args.before else None
    print("| pair | old → new tar |%s segdiff+bz2 | xdelta -0+bz2 | xdelta3 -9 -S djw | bsdiff | zstd -19 | ÷ xdelta3 | ÷ min(xdelta3, bsdiff) |"
          % (" segdiff before |" if before else ""))
    print("|---|---:|%s---:|---:|---:|---:|---:|---:|---:|" % ("---:|" if before else ""))
    totals = [0] * len(COLUMNS)
    before_total = 0
    worst = (0, None)
    fmt = lambda n: "—" if n is None else "{:,}".format(n)
    for name, _, _ in pairs:
        rows = cache[name]
        sizes = [size_of(rows, tool, field) for tool, field in COLUMNS]
        for k, s in enumerate(sizes):
            totals[k] += s or 0
        seg, x3, bs = sizes[0], sizes[2], sizes[3]
        best = min(s for s in (x3, bs) if s is not None) if (x3 or bs) else None
        r3 = seg / x3 if seg and x3 else None
        rb = seg / best if seg and best else None
        if rb and rb > worst[0]:
            worst = (rb, name)
        earlier = ""
        if before:
            b = size_of(before.get(name, {}), "segdiff", "bz2")
            before_total += b or 0
            earlier = " %s |" % fmt(b)
        print("| %s | %s → %s |%s %s | %s | %s | %s | %s | %s | %s |" % (
            name, fmt(rows["sizes"][0]), fmt(rows["sizes"][1]), earlier, *[fmt(s) for s in sizes],
            "%.3f" % r3 if r3 else "—", "%.3f" % rb if rb else "—"))
    # The ratio of the totals only where no figure is missing.
    whole = all(size_of(cache[n], t, f) is not None for n in (p[0] for p in pairs) for t, f in COLUMNS)
    print("| **total** | |%s %s | %s | %s | %s | %s | %s | |" % (
        " %s |" % fmt(before_total) if before else "",
        *[fmt(t) for t in totals], "%.3f" % (totals[0] / totals[2]) if whole and totals[2] else "—"))
    # Totals over the pairs every tool finished, so that a missing figure
    # does not flatter a column.
    complete = [n for n in (p[0] for p in pairs)
                if all(size_of(cache[n], t, f) is not None for t, f in COLUMNS)]
    sums = [sum(size_of(cache[n], t, f) for n in complete) for t, f in COLUMNS]
    if complete and sums[2]:
        print()
        print("pairs all tools finished: %d; totals there: %s; segdiff / xdelta3 %.3f" % (
            len(complete), ", ".join("%s %s" % (t, fmt(v)) for (t, _), v in zip(COLUMNS, sums)),
            sums[0] / sums[2]))
        if before:
            b = sum(size_of(before.get(n, {}), "segdiff", "bz2") or 0 for n in complete)
            print("segdiff before there: %s, %.3f of xdelta3" % (fmt(b), b / sums[2]))
    print()
    print("pairs: %d; worst pair against min(xdelta3, bsdiff): %s at %.3f" % (len(pairs), worst[1], worst[0]))
    def above_goal(n):
        s = [size_of(cache[n], t, f) for t, f in COLUMNS]
        others = [x for x in (s[2], s[3]) if x]
        return bool(s[0] and others and s[0] > 1.05 * min(others))
    above = [n for n in (p[0] for p in pairs) if above_goal(n)]
    print("pairs above 1.05 x min(xdelta3, bsdiff): %d %s" % (len(above), " ".join(above)))


if __name__ == "__main__":
    main()
