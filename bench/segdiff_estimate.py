#!/usr/bin/env python3
"""What two changes of the segdiff format could save, estimated on a sample.

    bench/segdiff_estimate.py SEGDIFF PAIRS

PAIRS is the pairs/ directory of bench/sample.py. Prints per pair: the delta
after bzip2 -9; its literal stream after bzip2 -9 and after zstd -19 --long
(a coder that copies from what it already wrote, standing in for copies
from the written part of NEW); the record table after bzip2 -9 with and
without the records that only step over up to 8 replaced bytes on their
diagonal (what approximate copies with difference bytes would fold into
the copy before them), and how many records that folds. Last the totals.
"""
import bz2
import os
import struct
import subprocess
import sys
import tempfile
seg, pairs = sys.argv[1], sys.argv[2]
delta = os.path.join(tempfile.mkdtemp(prefix="segdiff-estimate-"), "delta")
tot = [0]*6
for line in open(os.path.join(pairs, 'list.tsv')):
    n = line.split('\t')[0]
    subprocess.run(['nice', seg, f'{pairs}/{n}.old.tar', f'{pairs}/{n}.new.tar', delta], check=True)
    d = open(delta, 'rb').read()
    k = struct.unpack_from('<I', d, 14)[0]
    tab = d[18:18+12*k]; lit = d[18+12*k:]
    recs = [struct.unpack_from('<iII', tab, 12*i) for i in range(k)]
    merged = []
    for r in recs:
        if merged and r[0] == r[1] and 0 < r[1] <= 8:
            s, l, c = merged[-1]; merged[-1] = (s, l, c + r[1] + r[2])
        else:
            merged.append(r)
    tab2 = b''.join(struct.pack('<iII', *r) for r in merged)
    z = subprocess.run(['nice', 'zstd', '-19', '--long=27', '-c', '-q'], input=lit, stdout=subprocess.PIPE).stdout
    row = [len(bz2.compress(d, 9)), len(bz2.compress(lit, 9)), len(z), len(bz2.compress(tab, 9)), len(bz2.compress(tab2, 9)), len(recs) - len(merged)]
    tot = [a + b for a, b in zip(tot, row)]
    print(n, *row, flush=True)
print('total', *tot)
os.unlink(delta)
os.rmdir(os.path.dirname(delta))
