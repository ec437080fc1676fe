#!/usr/bin/env python3
"""Delta benchmark: segdiff against the other delta makers, side by side.

    bench/deltabench.py [options] OLD NEW

OLD and NEW are two releases of a file. Package tarballs (.tar.gz, .tgz,
.tar.bz2, .tbz2, .tar.xz, .txz) are first decompressed to plain tar, as
pakrev does before it makes a delta.

For each tool (segdiff, "xdelta delta -0 --pristine", and where installed
"xdelta3 -9 -S djw", "bsdiff" and "zstd -19 --long=31 --patch-from") it makes the
delta, applies it (segdiff deltas through pakrev's built-in applier, driven
by segdiff-apply), checks the result byte for byte against NEW, and prints:
delta size raw and after "bzip2 -9" (for the tools that store raw data),
wall and CPU time of making and applying, and the peak resident memory of
both. Then it prints how segdiff stands against the goals set for it.

The freshly built programs are taken from --bin (default: build/bin of this
tree), ahead of PATH.
"""

import argparse
import datetime
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MIB = 1024 * 1024


GNU_TIME = "/usr/bin/time"


def run_measured(argv, env, log):
    """Runs argv; returns (status, wall seconds, cpu seconds, peak RSS bytes).

    Peak memory comes from GNU time where it is installed. Without it, the
    rusage of our own child is used, which cannot go below the RSS of this
    Python process (the peak carries over the exec)."""
    report = log + ".time"
    measured = [GNU_TIME, "-f", "%e %U %S %M", "-o", report] + argv if os.access(GNU_TIME, os.X_OK) else argv
    start = time.monotonic()
    with open(log, "ab") as err:
        proc = subprocess.Popen(measured, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    cpu, rss = usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024
    if measured is not argv:
        with open(report) as f:
            fields = f.read().split("\n")[-2].split()
        os.unlink(report)
        wall, cpu, rss = float(fields[0]), float(fields[1]) + float(fields[2]), int(fields[3]) * 1024
    return proc.returncode, wall, cpu, rss


def bzip2_size(path):
    with open(path, "rb") as f:
        out = subprocess.run(["bzip2", "-9", "-c"], stdin=f, stdout=subprocess.PIPE, check=True).stdout
    return len(out)


def same_bytes(a, b):
    return subprocess.run(["cmp", "-s", a, b]).returncode == 0


def plain_tar(path, work, label):
    """A path to the uncompressed form of path (path itself when plain)."""
    decompressors = [
        ((".tar.gz", ".tgz"), ["gzip", "-dc"]),
        ((".tar.bz2", ".tbz2", ".tbz"), ["bzip2", "-dc"]),
        ((".tar.xz", ".txz"), ["xz", "-dc"]),
    ]
    for endings, command in decompressors:
        if path.endswith(endings):
            out = os.path.join(work, label + ".tar")
            with open(out, "wb") as f:
                subprocess.run(command + [path], stdout=f, check=True)
            return out
    return path


class Tool:
    def __init__(self, name, make, apply, raw, ok_status=(0,)):
        self.name = name
        self.make = make      # (old, new, delta) -> argv
        self.apply = apply    # (old, delta, out) -> argv
        self.raw = raw        # stores raw data: bzip2 -9 size is of interest
        self.ok_status = ok_status


def tools(bindir):
    segdiff = os.path.join(bindir, "segdiff")
    applier = os.path.join(bindir, "segdiff-apply")
    found = [
        Tool("segdiff", lambda o, n, d: [segdiff, o, n, d],
             lambda o, d, out: [applier, o, d, out], raw=True),
        # xdelta 1.x exits with 1 when the files differ.
        Tool("xdelta -0", lambda o, n, d: ["xdelta", "delta", "-0", "--pristine", o, n, d],
             lambda o, d, out: ["xdelta", "patch", "--pristine", d, o, out], raw=True, ok_status=(0, 1)),
    ]
    if shutil.which("xdelta3"):
        found.append(Tool("xdelta3 -9 -S djw",
                          lambda o, n, d: ["xdelta3", "-e", "-f", "-9", "-S", "djw", "-s", o, n, d],
                          lambda o, d, out: ["xdelta3", "-d", "-f", "-s", o, d, out], raw=False))
    if shutil.which("bsdiff"):
        # bsdiff compresses its own output with bzip2.
        found.append(Tool("bsdiff", lambda o, n, d: ["bsdiff", o, n, d],
                          lambda o, d, out: ["bspatch", o, out, d], raw=False))
    if shutil.which("zstd"):
        found.append(Tool("zstd -19 --long=31",
                          lambda o, n, d: ["zstd", "-q", "-f", "-19", "--long=31", "--patch-from=" + o, n, "-o", d],
                          lambda o, d, out: ["zstd", "-q", "-f", "-d", "--long=31", "--patch-from=" + o, d, "-o", out],
                          raw=False))
    return found


def measure(tool, old, new, work, env):
    delta = os.path.join(work, "delta")
    out = os.path.join(work, "out")
    for p in (delta, out, os.path.join(work, "stderr.log")):
        if os.path.exists(p):
            os.unlink(p)
    log = os.path.join(work, "stderr.log")
    status, make_wall, make_cpu, make_rss = run_measured(tool.make(old, new, delta), env, log)
    row = {"tool": tool.name, "make_wall": make_wall, "make_cpu": make_cpu, "make_rss": make_rss}
    if status not in tool.ok_status or not os.path.exists(delta):
        row["check"] = "make failed (%d)" % status
        with open(log, errors="replace") as f:
            sys.stderr.write(f.read())
        return row
    row["raw"] = os.path.getsize(delta)
    row["bz2"] = bzip2_size(delta) if tool.raw else None
    status, apply_wall, apply_cpu, apply_rss = run_measured(tool.apply(old, delta, out), env, log)
    row.update(apply_wall=apply_wall, apply_cpu=apply_cpu, apply_rss=apply_rss)
    row["check"] = "OK" if status == 0 and same_bytes(out, new) else "FAILED"
    if row["check"] != "OK":
        with open(log, errors="replace") as f:
            sys.stderr.write(f.read())
    os.unlink(delta)
    if os.path.exists(out):
        os.unlink(out)
    return row


def fmt_bytes(n):
    return "—" if n is None else "{:,}".format(n)


def fmt_time(wall, cpu):
    return "—" if wall is None else "%.2f (%.2f)" % (wall, cpu)


def fmt_mib(n):
    return "—" if n is None else "%d" % round(n / MIB)


def print_table(rows):
    print("| tool | delta raw | bzip2 -9 | make s (cpu) | make MiB | apply s (cpu) | apply MiB | check |")
    print("|---|---:|---:|---:|---:|---:|---:|---|")
    for r in rows:
        print("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
            r["tool"], fmt_bytes(r.get("raw")), fmt_bytes(r.get("bz2")),
            fmt_time(r["make_wall"], r["make_cpu"]), fmt_mib(r["make_rss"]),
            fmt_time(r.get("apply_wall"), r.get("apply_cpu")), fmt_mib(r.get("apply_rss")),
            r["check"]))


def print_goals(rows, old_size):
    by = {r["tool"]: r for r in rows}
    seg = by.get("segdiff")
    if not seg or "raw" not in seg:
        return
    mark = lambda ok: "met" if ok else "NOT met"
    lines = []
    x3 = by.get("xdelta3 -9 -S djw")
    if x3 and "raw" in x3:
        saving = 1 - seg["bz2"] / x3["raw"]
        lines.append("size: segdiff+bzip2 is %.1f%% smaller than xdelta3 -9 -S djw (goal 20%%): %s"
                     % (100 * saving, mark(saving >= 0.20)))
    xd = by.get("xdelta -0")
    if xd and "raw" in xd:
        ratio = xd["bz2"] / seg["bz2"] if seg["bz2"] else float("inf")
        lines.append("size: xdelta -0+bzip2 is %.1f times segdiff+bzip2 (goal 6): %s" % (ratio, mark(ratio >= 6)))
        lines.append("make: segdiff %.1f s vs xdelta %.1f s wall, %.1f vs %.1f s cpu: %s"
                     % (seg["make_wall"], xd["make_wall"], seg["make_cpu"], xd["make_cpu"],
                        mark(seg["make_wall"] <= xd["make_wall"])))
        if "apply_wall" in seg and "apply_wall" in xd:
            lines.append("apply: built-in %.1f s vs xdelta patch %.1f s wall, %.1f vs %.1f s cpu: %s"
                         % (seg["apply_wall"], xd["apply_wall"], seg["apply_cpu"], xd["apply_cpu"],
                            mark(seg["apply_wall"] <= xd["apply_wall"])))
    limit = 1.5 * old_size + 64 * MIB
    lines.append("memory: segdiff peak %d MiB, limit 1.5 x old + 64 MiB = %d MiB: %s"
                 % (round(seg["make_rss"] / MIB), round(limit / MIB), mark(seg["make_rss"] <= limit)))
    print()
    print("Goals (set for kernel-sized pairs):")
    for line in lines:
        print("- " + line)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build", "bin"),
                        help="directory of the built segdiff and segdiff-apply")
    parser.add_argument("--work", default=None, help="directory for temporary files (default: $TMPDIR)")
    parser.add_argument("--only", default=None, help="comma-separated tool names to run (default: all)")
    args = parser.parse_args()

    bindir = os.path.abspath(args.bin)
    for program in ("segdiff", "segdiff-apply"):
        if not os.access(os.path.join(bindir, program), os.X_OK):
            sys.exit("deltabench: no %s in %s: build first (cmake --build build)" % (program, bindir))
    env = dict(os.environ, PATH=bindir + os.pathsep + os.environ.get("PATH", ""))

    work = tempfile.mkdtemp(prefix="deltabench-", dir=args.work)
    try:
        old = plain_tar(os.path.abspath(args.old), work, "old")
        new = plain_tar(os.path.abspath(args.new), work, "new")
        old_size, new_size = os.path.getsize(old), os.path.getsize(new)
        # Both inputs start out in the page cache, for every tool alike.
        for path in (old, new):
            subprocess.run(["cat", path], stdout=subprocess.DEVNULL, check=True)

        print("%s -> %s: %s -> %s bytes" % (os.path.basename(args.old), os.path.basename(args.new),
                                            "{:,}".format(old_size), "{:,}".format(new_size)))
        print("%s, %s, %d cores; %s" % (platform.node(), platform.machine(), os.cpu_count(),
                                        datetime.datetime.now().strftime("%Y-%m-%d %H:%M")))
        print()
        chosen = tools(bindir)
        if args.only:
            names = [n.strip() for n in args.only.split(",")]
            chosen = [t for t in chosen if t.name.split()[0] in names]
        rows = [measure(t, old, new, work, env) for t in chosen]
        print_table(rows)
        print_goals(rows, old_size)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
