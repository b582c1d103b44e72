#!/usr/bin/env python3
"""One read of a whole card through the bad-sector device, at a reader's pace and unpaced.

  bench/cardreader.py BUILD [--size MiB] [--pace N[k|M|G]] [--runs N] [--work DIR]

Makes an image of SIZE MiB (512) of random bytes (written out, not sparse),
serves it through kov_badblocks under a read-only loop device
(bench/badblocks.py), and times `cat DEVICE > /dev/null` with the page cache
dropped before each run (echo 3 > /proc/sys/vm/drop_caches), paced at PACE
(90M: 90 MB/s, a fast SD card in a reader) and unpaced. Prints each run's
seconds and MB/s (10^6 bytes), the bytes the server served, and the
medians. Root only.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from badblocks import BadBlocks, parsepace  # noqa: E402


def makeimage(path, mib):
    with open(path, "wb") as f:
        for _ in range(mib):
            f.write(os.urandom(1 << 20))
        # Written back now, so that no write-back competes with the runs.
        f.flush()
        os.fsync(f.fileno())


def catdevice(device):
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")
    start = time.monotonic()
    with open(os.devnull, "wb") as null:
        subprocess.run(["cat", device], stdout=null, check=True)
    return time.monotonic() - start


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build")
    ap.add_argument("--size", type=int, default=512, help="MiB")
    ap.add_argument("--pace", default="90M")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--work", default=None)
    a = ap.parse_args()
    with tempfile.TemporaryDirectory(dir=a.work) as work:
        image = os.path.join(work, "card.img")
        makeimage(image, a.size)
        size = a.size << 20
        for label, pace in (("paced at %s" % a.pace, parsepace(a.pace)), ("unpaced", 0)):
            times = []
            with BadBlocks(a.build, image, pace=pace) as card:
                for run in range(a.runs):
                    before = card.counts()["bytes"]
                    times.append(catdevice(card.device))
                    served = card.counts()["bytes"] - before
                    print("%-14s run %d: %.2f s, %.1f MB/s, %d bytes served of %d" %
                          (label, run + 1, times[-1], size / times[-1] / 1e6, served, size))
            median = statistics.median(times)
            print("%-14s median: %.2f s, %.1f MB/s" % (label, median, size / median / 1e6))
    return 0


if __name__ == "__main__":
    sys.exit(main())
