#!/usr/bin/env python3
"""FAT12 targets: a floppy and a small card, kov-recover against tsk_recover.

  bench/fat12-targets.py BUILD

BUILD is a build directory with kov-recover. Needs mkfs.fat, mtools and
sleuthkit's tsk_recover (run as a black box).

Volumes, made with mkfs.fat -F 12 and mtools:
- floppy: 1.44 MB (512-byte clusters), 20 live files, a live file
  fragmented around a freed hole, then 34 files deleted: 26 in the root
  (long names, 1 B to 30 KiB) and a folder of 8 deleted whole (mdeltree).
- card: 16 MiB (8 KiB clusters), 93 live files in DCIM/100CANON, DOCS and
  the root, then 57 deleted: 40 from the root and DCIM, and a two-level
  folder tree of 17 deleted whole.
- two files: a floppy with one live file and one deleted, as the
  published FAT test images are.
Nothing is written after the deletions, so every deleted file is
contiguous and whole on the volume.

Per volume: the plain run (--original-names) must give every deleted file
byte for byte, each once, and nothing else (junk: any other file); --deep
must write no live file; --list-volumes must say FAT12; tsk_recover's
count of deleted files back byte for byte; wall times of both (median of 3).
"""
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from filetree import digest, digests


def sh(*args):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=dict(os.environ, MTOOLS_SKIP_CHECK="1")).stdout


class Card:
    def __init__(self, work, name, kib, spc):
        self.image = os.path.join(work, name + ".img")
        self.local = os.path.join(work, "local.bin")
        self.live, self.deleted, self.doomed = [], [], []
        with open(self.image, "wb") as f:
            f.truncate(kib * 1024)
        sh("mkfs.fat", "-F", "12", "-s", str(spc), "-i", "1234ABCD", self.image)
        self.cluster = 512 * spc
        self.rng = random.Random(kib)

    def put(self, path, size):
        data = self.rng.randbytes(size)
        with open(self.local, "wb") as f:
            f.write(data)
        sh("mcopy", "-o", "-i", self.image, self.local, "::/" + path)
        return data

    def keep(self, path, size):
        self.live.append(self.put(path, size))

    def mkdir(self, *paths):
        sh("mmd", "-i", self.image, *["::/" + p for p in paths])

    def gone(self, paths_sizes):
        """Writes them all, to be deleted by delete() once every file is in."""
        for path, size in paths_sizes:
            self.deleted.append(self.put(path, size))
            self.doomed.append(path)

    def delete(self, tree=None):
        for path in self.doomed:
            if tree is None or not path.startswith(tree + "/"):
                sh("mdel", "-i", self.image, "::/" + path)
        if tree:
            sh("mdeltree", "-i", self.image, "::/" + tree)

    def fragment(self, size):
        """A live file that takes a freed hole and goes on past a live one."""
        self.put("HOLE.TMP", 2 * self.cluster)
        self.keep("AFTER.BIN", self.cluster + 1)
        sh("mdel", "-i", self.image, "::/HOLE.TMP")
        self.keep("FRAG.BIN", size)


def floppy(work):
    c = Card(work, "floppy", 1440, 1)
    c.mkdir("OLD")
    for i in range(20):
        c.keep("LIVE%02d.TXT" % i, c.rng.randint(1, 6000))
    c.fragment(9 * 512 - 5)
    root = [("Deleted document number %02d.txt" % i, c.rng.choice([1, 511, 512, 513, c.rng.randint(1, 30 << 10)]))
            for i in range(26)]
    tree = [("OLD/Old photo %d.jpg" % i, c.rng.randint(100, 12000)) for i in range(8)]
    c.gone(root + tree)
    c.delete("OLD")
    return c


def card(work):
    c = Card(work, "card", 16384, 16)
    c.mkdir("DCIM", "DCIM/100CANON", "DOCS", "TRIP", "TRIP/DAY1")
    for i in range(60):
        c.keep("DCIM/100CANON/IMG_%04d.JPG" % i, c.rng.randint(20000, 90000))
    for i in range(30):
        c.keep("DOCS/Report with a long name %02d.pdf" % i, c.rng.randint(1, 30000))
    c.fragment(5 * c.cluster - 3)  # two more live files: 93 in all
    c.keep("README.TXT", 300)
    root = [("DCIM/100CANON/IMG_%04d.JPG" % (100 + i), c.rng.randint(20000, 90000)) for i in range(25)]
    root += [("Deleted note %02d.txt" % i, c.rng.choice([1, 8191, 8192, 8193, c.rng.randint(1, 40000)]))
             for i in range(15)]
    tree = [("TRIP/Trip photo %02d.jpg" % i, c.rng.randint(5000, 60000)) for i in range(9)]
    tree += [("TRIP/DAY1/DSC%05d.JPG" % i, c.rng.randint(5000, 60000)) for i in range(8)]
    c.gone(root + tree)
    c.delete("TRIP")
    assert len(c.live) == 93 and len(c.deleted) == 57, (len(c.live), len(c.deleted))
    return c


def twofiles(work):
    c = Card(work, "twofiles", 1440, 1)
    c.keep("kept.txt", 1200)
    c.gone([("Deleted picture.jpg", 7000)])
    c.delete()
    return c


def timed(args, runs=3):
    times = []
    for _ in range(runs):
        out = args[-1]
        shutil.rmtree(out, ignore_errors=True)
        start = time.monotonic()
        done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        times.append(time.monotonic() - start)
    return done, statistics.median(times)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    kov = os.path.join(sys.argv[1], "kov-recover")
    work = tempfile.mkdtemp(prefix="kov-fat12-")
    ok = True
    try:
        print("| volume | deleted | kov plain | junk | kov s | --deep live files | --list-volumes | tsk_recover | tsk s |")
        print("|---|---|---|---|---|---|---|---|---|")
        for c in (floppy(work), card(work), twofiles(work)):
            want = [digest(d) for d in c.deleted]
            live = {digest(d) for d in c.live}
            plain, kovs = timed([kov, "--original-names", c.image, os.path.join(work, "plain")])
            got = list(digests(os.path.join(work, "plain")).values())
            back = sum(1 for d in set(want) if got.count(d) == 1)
            junk = sum(1 for d in got if d not in want)
            deep = subprocess.run([kov, "--deep", c.image, os.path.join(work, "deep")], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)
            deeplive = sum(1 for d in digests(os.path.join(work, "deep")).values() if d in live)
            listed = subprocess.run([kov, "--list-volumes", c.image], stdout=subprocess.PIPE).stdout.decode()
            kind = listed.split("\t")[3] if listed.count("\t") >= 3 else "?"
            tsk, tsks = timed(["tsk_recover", c.image, os.path.join(work, "tsk")])
            tskgot = set(digests(os.path.join(work, "tsk")).values())
            tskback = sum(1 for d in set(want) if d in tskgot)
            name = os.path.basename(c.image)[:-4]
            print("| %s | %d | %d | %d | %.2f | %d | %s | %d | %.2f |" % (
                name, len(want), back, junk, kovs, deeplive, kind, tskback, tsks))
            if plain.returncode != 0 or deep.returncode != 0:
                print("  kov-recover exited %d / %d: %s" % (plain.returncode, deep.returncode,
                                                            (plain.stderr + deep.stderr).decode()[-500:]))
            ok &= back == len(want) and junk == 0 and deeplive == 0 and kind == "FAT12"
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("targets met" if ok else "TARGETS MISSED")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
