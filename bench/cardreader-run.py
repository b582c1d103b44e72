#!/usr/bin/env python3
"""Runs of kov-recover at a card reader's pace against one read of the card.

  bench/cardreader-run.py BUILD [--pace N[k|M|G]] [--runs N] [--work DIR] [--card shot|reformat]

Makes the 512 MiB FAT32 card of bench/sweep-bytes.py (quick-formatted and
shot on; or reformatted with 2 KiB clusters), serves it through kov_badblocks
with no bad sector at PACE (90M: a fast SD card in a reader) under a
read-only loop device (bench/badblocks.py), and times, with the page cache
dropped before each (echo 3 > /proc/sys/vm/drop_caches):
- cat DEVICE > /dev/null, the one read of the card;
- kov-recover, kov-recover --deep and kov-recover --deep --carve into a
  fresh output folder on the work disk.
Prints each run's seconds, the bytes the server served as a multiple of the
card, and each median as a multiple of cat's (the target for --deep --carve
is 1.1). Root only.
"""
import argparse
import importlib.util
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from badblocks import BadBlocks, parsepace  # noqa: E402

_spec = importlib.util.spec_from_file_location("sweepbytes", os.path.join(HERE, "sweep-bytes.py"))
sweepbytes = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(sweepbytes)


def dropcaches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def timed(args, **kw):
    dropcaches()
    start = time.monotonic()
    p = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, **kw)
    took = time.monotonic() - start
    if p.returncode not in (0, 1):
        sys.exit(f"{' '.join(args)}: status {p.returncode}\n{p.stderr}")
    return took


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build")
    ap.add_argument("--pace", default="90M")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--work")
    ap.add_argument("--card", choices=("shot", "reformat"), default="shot")
    a = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("cardreader-run.py: root only (FUSE, loop devices, drop_caches)")
    kov = os.path.join(a.build, "kov-recover")
    pace = parsepace(a.pace)
    work = tempfile.mkdtemp(prefix="kov-cardreader-", dir=a.work)
    try:
        bases = sweepbytes.basephotos(work, 12)
        card = os.path.join(work, "card.img")
        sweepbytes.makecard(card, work, bases, 512 << 20, 8, 8 if a.card == "shot" else 4, 300 << 20)
        size = os.path.getsize(card)
        runs = {"cat": [], "plain": [], "--deep": [], "--deep --carve": []}
        served = {}
        with BadBlocks(a.build, card, pace=pace) as dev:
            for k in range(a.runs):
                for name in runs:
                    before = dev.counts()["bytes"]
                    if name == "cat":
                        took = timed(["sh", "-c", f"cat {dev.device} > /dev/null"])
                    else:
                        out = os.path.join(work, "out")
                        shutil.rmtree(out, ignore_errors=True)
                        took = timed([kov] + (name.split() if name != "plain" else []) + [dev.device, out])
                    served[name] = (dev.counts()["bytes"] - before) / size
                    runs[name].append(took)
                    print(f"run {k + 1} {name}: {took:.2f} s, served {served[name]:.2f}x the card", flush=True)
        cat = statistics.median(runs["cat"])
        for name, times in runs.items():
            med = statistics.median(times)
            print(f"{name}: median {med:.2f} s ({med / cat:.2f}x cat), served {served[name]:.2f}x "
                  f"[{', '.join(f'{t:.2f}' for t in times)}]")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
