#!/usr/bin/env python3
"""Bytes read from the source by kov-recover --deep and --deep --carve, as a multiple of its size.

  bench/sweep-bytes.py KOV_RECOVER [--volume BENCH.img] [--work DIR]

Cards (mkfs.fat and mtools; photos are ImageMagick JPEGs, each made distinct
by a comment segment):
- shot: 512 MiB FAT32, 4 KiB clusters, about 300 MiB of photos in DCIM,
  quick-formatted (mkfs.fat again over the image), then 8 new photos.
- reformat: the same, formatted again with 2 KiB clusters.
- sparse: a 1 GiB sparse image, 100 MiB of photos, formatted over and shot
  on; its multiple is of the allocated bytes too.
- volume: the 2 GiB bench volume (bench/make-volume.sh), when given.
Each run is made with the phases reading on their own (KOV_SWEEP=0, before)
and with the one sweep (after): the bytes pread from the image, counted by
strace, and the sweep's own counter (KOV_SWEEP_COUNTS=1); the output trees of
both are compared (they must be equal). With --spool, before is the sweep
without its spool (KOV_SPOOL=0) and after the sweep with it, --carve alone
run too, and the spool's counts (kept, served) are given.
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from filetree import digests  # noqa: E402

ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", TZ="UTC", LC_ALL="C.UTF-8")


def run(*args):
    subprocess.run(args, check=True, env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def basephotos(work, n):
    out = []
    for k in range(n):
        path = os.path.join(work, f"base{k}.jpg")
        run("convert", "-seed", str(k + 1), "-size", "1800x1300", "xc:gray", "+noise", "Random", "-quality", "80",
            path)
        with open(path, "rb") as f:
            out.append(f.read())
    return out


def variant(base, k):
    # A comment segment right after SOI: another file, still a JPEG.
    text = f"shot {k}".encode()
    return base[:2] + b"\xff\xfe" + (len(text) + 2).to_bytes(2, "big") + text + base[2:]


def shoot(image, work, bases, first, total, rnd):
    run("mmd", "-D", "s", "-i", image, "::/DCIM")
    done, k = 0, first
    while done < total:
        data = variant(bases[rnd.randrange(len(bases))], k)
        local = os.path.join(work, "shot.jpg")
        with open(local, "wb") as f:
            f.write(data)
        run("mcopy", "-i", image, local, f"::/DCIM/IMG_{k:04d}.JPG")
        done += len(data)
        k += 1
    return k


def makecard(path, work, bases, size, first, second, photobytes, sparse=False):
    with open(path, "wb") as f:
        f.truncate(size)
    if not sparse:
        # Written out: a card's every byte is there.
        with open(path, "r+b") as f:
            for _ in range(size >> 20):
                f.write(b"\0" * (1 << 20))
    rnd = random.Random(size + first)
    run("mkfs.fat", "-F", "32", "-s", str(first), "-i", "5EE0A001", path)
    k = shoot(path, work, bases, 1, photobytes, rnd)
    run("mkfs.fat", "-F", "32", "-s", str(second), "-i", "5EE0A002", path)
    shoot(path, work, bases, k, 8 * len(bases[0]), rnd)


def recover(kov, image, out, args, sweep, spool=None):
    env = dict(os.environ, KOV_SWEEP="1" if sweep else "0", KOV_SWEEP_COUNTS="1")
    if spool is not None:
        env = dict(env, KOV_SWEEP="1", KOV_SPOOL="1" if spool else "0")
    log = out + ".strace"
    p = subprocess.run(["strace", "-f", "-y", "-e", "trace=pread64", "-o", log, kov] + args + [image, out],
                       env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if p.returncode != 0:
        sys.exit(f"{kov} {' '.join(args)} {image}: status {p.returncode}\n{p.stderr}")
    name = os.path.basename(image)
    total = 0
    pat = re.compile(r"pread64\(\d+<([^>]*)>.*= (\d+)$")
    with open(log) as f:
        for line in f:
            m = pat.search(line.rstrip("\n"))
            if m and m.group(1).endswith(name):
                total += int(m.group(2))
    os.unlink(log)
    m = re.search(r"sweep: (\d+) bytes read", p.stderr)
    k = re.search(r"spool: (\d+) bytes kept, (\d+) served", p.stderr)
    recover.spooled = (int(k.group(1)), int(k.group(2))) if k else None
    return total, int(m.group(1)) if m else None


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("kov")
    ap.add_argument("--volume")
    ap.add_argument("--work")
    ap.add_argument("--spool", action="store_true")
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="kov-sweep-", dir=a.work)
    ok = True
    try:
        bases = basephotos(work, 12)
        cards = []
        for name, size, first, second, photos, sparse in (
            ("shot", 512 << 20, 8, 8, 300 << 20, False),
            ("reformat", 512 << 20, 8, 4, 300 << 20, False),
            ("sparse", 1 << 30, 8, 8, 100 << 20, True),
        ):
            path = os.path.join(work, name + ".img")
            makecard(path, work, bases, size, first, second, photos, sparse)
            cards.append((name, path))
        if a.volume:
            cards.append(("volume", a.volume))
        for name, path in cards:
            size = os.path.getsize(path)
            allocated = os.stat(path).st_blocks * 512
            runs = [["--deep"], ["--deep", "--carve"]] + ([["--carve"]] if a.spool else [])
            for args in runs:
                outs = {}
                line = []
                for sweep in (False, True):
                    out = os.path.join(work, f"{name}-{'-'.join(args)}-{int(sweep)}")
                    if a.spool:
                        total, counted = recover(a.kov, path, out, args, True, spool=sweep)
                    else:
                        total, counted = recover(a.kov, path, out, args, sweep)
                    outs[sweep] = digests(out)
                    shutil.rmtree(out)
                    part = f"{total / size:.2f}x"
                    if allocated < size:
                        part += f" ({total / allocated:.2f}x allocated)"
                    if counted is not None:
                        part += f", sweep {counted / size:.2f}x"
                    if recover.spooled and sweep:
                        part += f", spool kept {recover.spooled[0] / size:.2f}x served {recover.spooled[1] / size:.2f}x"
                    line.append(part)
                same = outs[False] == outs[True]
                ok = ok and same
                print(f"{name} {' '.join(args)}: before {line[0]} -> after {line[1]}; "
                      f"{len(outs[True])} files, trees {'equal' if same else 'DIFFER'}", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
