#!/usr/bin/env python3
"""Cost of --deep when a few fake "."/".." pairs make an earlier layout of
huge clusters over a card whose free clusters are orphan directory pieces.

  bench/earlier-pairs.py KOV_RECOVER

The card: 64 MiB FAT32, 512-byte clusters (mkfs.fat), every free cluster
patched into a full directory piece (16 erased empty files' entries: they
name nothing to save). With pairs: four sectors each opening with "."/".."
entries that agree on a 256 KiB-cluster layout over the data area; every
orphan piece of the card's own layout then lies inside a cluster of that
layout. Prints wall time and peak RSS of kov-recover --deep on both cards
(median of RUNS, default 3); target: with pairs at most 2 x without.
"""
import os
import re
import statistics
import struct
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from fatgeometry import geometry  # noqa: E402

ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", SOURCE_DATE_EPOCH="1600000000", TZ="UTC", LC_ALL="C.UTF-8")
BIG = 256 << 10


def piece():
    s = bytearray(512)
    date = (2020 - 1980) << 9 | 9 << 5 | 13
    for k in range(16):
        e = 32 * k
        s[e:e + 11] = b"\xe5MPTY%03dTXT" % k
        s[e + 11] = 0x20
        struct.pack_into("<HHHHHHHI", s, e + 14, 0, date, date, 0, 0, date, 0, 0)
    return bytes(s)


def build(work, pairs):
    image = os.path.join(work, f"card-{pairs}.img")
    with open(image, "wb") as f:
        f.truncate(64 << 20)
    subprocess.run(["mkfs.fat", "-F", "32", "-s", "1", "-i", "1234ABCD", image], check=True, env=ENV,
                   stdout=subprocess.DEVNULL)
    start = geometry(image)[0]
    size = os.path.getsize(image)
    with open(image, "r+b") as f:
        # Cluster 2 is the root; every cluster after it is free.
        f.seek(start + 512)
        f.write(piece() * ((size - start - 512) // 512))
        for k in range(pairs):
            cluster = 10 + 7 * k
            s = bytearray(512)
            s[0:11] = b".          "
            s[11] = 0x10
            struct.pack_into("<H", s, 26, cluster)
            s[32:43] = b"..         "
            s[43] = 0x10
            f.seek(start + (cluster - 2) * BIG)
            f.write(s)
    return image


def deep(binary, image, out):
    r = subprocess.run(["/usr/bin/time", "-f", "TIME %e %M", binary, "--deep", image, out], env=ENV,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    wall, rss = re.findall(r"TIME ([0-9.]+) ([0-9]+)", r.stderr)[-1]
    earlier = "earlier layout" in r.stderr
    return r.returncode, float(wall), int(rss) // 1024, earlier


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    binary = os.path.abspath(sys.argv[1])
    runs = int(os.environ.get("RUNS", "3"))
    walls = {}
    failed = False
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as work:
        for pairs in (0, 4):
            image = build(work, pairs)
            times = []
            for r in range(runs):
                status, wall, rss, earlier = deep(binary, image, os.path.join(work, f"out-{pairs}-{r}"))
                times.append(wall)
                # A run that failed measures nothing (kov-recover exits 0 here).
                failed = failed or status != 0
            walls[pairs] = statistics.median(times)
            print(f"{pairs} fake pairs: status {status}, --deep {walls[pairs]:.2f} s (median of {runs}), "
                  f"peak RSS {rss} MiB, earlier layout found: {earlier}")
    ratio = walls[4] / max(walls[0], 1e-3)
    print(f"with pairs / without: {ratio:.2f} x")
    met = ratio <= 2 and not failed
    print("targets met" if met else "targets NOT met")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
