#!/usr/bin/env python3
"""exFAT recovery by kov-recover against tsk_recover, byte for byte.

  bench/exfat-compare.py BUILD [--big|--big-only FAT32.img]

BUILD is a build directory with kov-recover.
Needs root: the volumes are made with mkfs.exfat and written through the
exfat FUSE driver over a read-write loop device, then unmounted.

Volumes (256 MiB, one per cluster size 4, 32 and 128 KiB): 60 files of 1 B
to 3 MiB in the root and two folder levels, some written in interleaved
appends (fragmented, so chained), 36 deleted: single files, and two whole
folder trees with rm -r; after the deletions more files are written, which
take some of the freed clusters and slots (second variant; the first
writes nothing after the deletions). For every deleted file the script reads
its entry set from the image (NoFatChain, first cluster, length) and
whether any of its clusters is allocated again.

Per volume: deleted files back byte for byte under their name, by
kov-recover (files of live folders flat under their own names, those of the
deleted folder tree under its path) and by tsk_recover (under the full path) (run with a timeout: it can hang on
mkfs.exfat images), the share of deleted contiguous unreused files back
(target 100 %), and the count against tsk_recover's (target: at least).

Quick format: a card with DCIM/100CANON photos and a three-level document
tree, then mkfs.exfat again over it: the share back by kov-recover
--deep byte for byte (target >= 99 %), and of those in a folder of their
folder's name below the top one.

With --big FAT32.img (bench/make-volume.sh; --big-only: this alone): the
same file set written to a
2 GiB exFAT volume with 4 KiB clusters (as the FAT32 one), and the wall time of kov-recover
on the FAT32 volume against kov-recover on the exFAT one (medians of 3).
"""
import os
import random
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

from filetree import digest, digests

TSK_TIMEOUT = 300


def sh(*args, **kw):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw).stdout


def data(size, seed):
    rng = random.Random(seed)
    return rng.randbytes(size)


class Mount:
    def __init__(self, image, where):
        self.dev = sh("losetup", "-f", "--show", image).decode().strip()
        self.where = where
        os.makedirs(where, exist_ok=True)
        sh("mount.exfat-fuse", self.dev, where)

    def path(self, rel):
        return os.path.join(self.where, rel)

    def write(self, rel, b, append=False):
        os.makedirs(os.path.dirname(self.path(rel)), exist_ok=True)
        with open(self.path(rel), "ab" if append else "wb") as f:
            f.write(b)

    def close(self):
        sh("umount", self.where)
        sh("losetup", "-d", self.dev)


def mkfs(image, size, cluster):
    if not os.path.exists(image):
        with open(image, "wb") as f:
            f.truncate(size)
    sh("mkfs.exfat", "-c", str(cluster), image)


def sets(image):
    """path -> (nofatchain, first cluster, data length, clusters allocated again)
    of every deleted file, read from the image: the root, live folders and
    deleted folders."""
    with open(image, "rb") as f:
        d = f.read()
    bps = 1 << d[108]
    cs = bps << d[109]
    fatoff, _, heap, count, root = struct.unpack_from("<IIIII", d, 80)

    def cl(c):
        o = heap * bps + (c - 2) * cs
        return d[o:o + cs]

    def fat(c):
        return struct.unpack_from("<I", d, fatoff * bps + 4 * c)[0]

    def chain(c, n):
        out = []
        while 2 <= c < count + 2 and len(out) < n:
            out.append(c)
            c = fat(c)
        return out

    bitmap = None
    rawroot = b"".join(cl(c) for c in chain(root, 1 << 16))
    for i in range(0, len(rawroot), 32):
        if rawroot[i] == 0x81:
            bc, bl = struct.unpack_from("<IQ", rawroot, i + 20)
            bitmap = b"".join(cl(c) for c in range(bc, bc + (bl + cs - 1) // cs))[:bl]
            break

    def used(c):
        return (bitmap[(c - 2) // 8] >> ((c - 2) % 8)) & 1

    out = {}

    def walk(raw, prefix, deleted):
        i = 0
        while i + 32 <= len(raw):
            t = raw[i]
            if t == 0:
                break
            if t | 0x80 != 0x85:
                i += 32
                continue
            sc = raw[i + 1]
            s = raw[i + 32:i + 64]
            flags, nl = s[1], s[3]
            vdl, fc, dl = struct.unpack_from("<Q", s, 8)[0], struct.unpack_from("<I", s, 20)[0], \
                struct.unpack_from("<Q", s, 24)[0]
            name = b"".join(raw[i + 32 * k + 2:i + 32 * k + 32] for k in range(2, sc + 1)).decode("utf-16le")[:nl]
            attr = struct.unpack_from("<H", raw, i + 4)[0]
            gone = deleted or not (t & 0x80)
            n = (dl + cs - 1) // cs
            clusters = list(range(fc, fc + n)) if flags & 2 else chain(fc, n) if fc >= 2 else []
            if attr & 0x10:
                if fc >= 2:
                    sub = b"".join(cl(c) for c in (range(fc, fc + n) if flags & 2 or gone else chain(fc, n)))
                    walk(sub, prefix + name + "/", gone)
            elif gone:
                reused = any(used(c) for c in (range(fc, fc + n) if fc >= 2 else []))
                out[prefix + name] = (bool(flags & 2), fc, dl, reused)
            i += 32 * (sc + 1)

    walk(rawroot, "", False)
    return out


def tsk(image, out):
    os.makedirs(out)
    start = time.time()
    try:
        subprocess.run(["tsk_recover", "-f", "exfat", image, out], check=True, timeout=TSK_TIMEOUT,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        status = "ok"
    except subprocess.TimeoutExpired:
        status = "timed out after %d s" % TSK_TIMEOUT
    except subprocess.CalledProcessError as e:
        status = "failed: " + e.stderr.decode(errors="replace").strip()[:200]
    return digests(out), status, time.time() - start


def kov(build, image, out, deep=False):
    start = time.time()
    args = [os.path.join(build, "kov-recover")] + (["--deep"] if deep else []) + [image, out]
    run = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    took = time.time() - start
    lines = [l for l in run.stderr.decode(errors="replace").split("\n") if l.strip()]
    summary = "exit %d: %s" % (run.returncode, " / ".join(l for l in lines if "saved," in l or "deep scan:" in l))
    return digests(out), summary, took


def kovpath(p):
    # Where kov-recover saves a deleted file: flat, unless it lay in the
    # deleted folder tree (trash/, removed whole), whose path it keeps.
    return p if p.startswith("trash/") else p.rsplit("/", 1)[-1]


def volume(work, cluster, later):
    image = os.path.join(work, "v%dk%s.img" % (cluster // 1024, "-later" if later else ""))
    mkfs(image, 256 << 20, cluster)
    rng = random.Random(cluster)
    m = Mount(image, os.path.join(work, "mnt"))
    written = {}
    paths = []
    for i in range(60):
        folder = ["", "pics/", "pics/2023/", "docs/", "docs/old/", "trash/", "trash/deep/"][i % 7]
        name = "%sfile%02d%s" % (folder, i, ["", ".jpg", " with a long name ünïcode ✓.txt"][i % 3])
        paths.append(name)
    sizes = {p: int(1 * (3 << 20) ** rng.random()) for p in paths}
    # Every fifth file is written in four interleaved appends with the next.
    for i, p in enumerate(paths):
        if i % 5 == 0 and i + 1 < len(paths):
            q = paths[i + 1]
            a, b = data(sizes[p], i), data(sizes[q], i + 1)
            for k in range(4):
                m.write(p, a[k * len(a) // 4:(k + 1) * len(a) // 4], append=k > 0)
                m.write(q, b[k * len(b) // 4:(k + 1) * len(b) // 4], append=k > 0)
            written[p], written[q] = a, b
        elif p not in written:
            written[p] = data(sizes[p], i)
            m.write(p, written[p])
    deleted = [p for p in paths if p.startswith("trash/")]
    others = [p for p in paths if p not in deleted]
    deleted += rng.sample(others, 36 - len(deleted))
    for p in deleted:
        if not p.startswith("trash/"):
            os.remove(m.path(p))
    shutil.rmtree(m.path("trash"))
    for i in range(4 if later else 0):
        m.write("later%d.bin" % i, data(int((2 << 20) * rng.random()), 1000 + i))
    m.close()
    return image, {p: digest(written[p]) for p in deleted}


def compare(build, work, cluster, later):
    image, want = volume(work, cluster, later)
    info = sets(image)
    tag = "%d%s" % (cluster, "later" if later else "")
    ours, summary, kovtime = kov(build, image, os.path.join(work, "kov" + tag))
    deep, _, _ = kov(build, image, os.path.join(work, "deep" + tag), deep=True)
    theirs, status, tsktime = tsk(image, os.path.join(work, "tsk" + tag))
    exact = lambda got: sum(1 for p, h in want.items() if got.get(p) == h)
    exactkov = lambda got: sum(1 for p, h in want.items() if got.get(kovpath(p)) == h)
    # A deleted file whose set a later file's set overwrote (the driver
    # reuses the slots) is in no set any more.
    gone = [p for p in want if p not in info]
    contiguous = [p for p in want if p in info and info[p][0] and not info[p][3]]
    back = sum(1 for p in contiguous if ours.get(kovpath(p)) == want[p])
    print("%3d KiB clusters%s: %d deleted (%d contiguous unreused, %d chained, %d reused, %d sets overwritten)" %
          (cluster // 1024, ", files written after the deletions" if later else "", len(want), len(contiguous), sum(1 for p in want if p in info and not info[p][0]),
           sum(1 for p in want if p in info and info[p][3]), len(gone)))
    print("  kov-recover: %d exact (contiguous unreused %d/%d), %d files written, %.2f s" %
          (exactkov(ours), back, len(contiguous), len(ours), kovtime))
    print("    " + summary)
    deepback = {h for h in deep.values()}
    print("  kov-recover --deep: %d of the deleted files' contents back (any path)" %
          sum(1 for h in want.values() if h in deepback))
    print("  tsk_recover:   %d exact, %d files written, %.2f s, %s" % (exact(theirs), len(theirs), tsktime, status))
    missed = [p for p in want if ours.get(kovpath(p)) != want[p] and theirs.get(p) == want[p]]
    for p in missed:
        print("    tsk only: %s %s" % (p, info.get(p)))
    ok = back == len(contiguous) and exactkov(ours) >= exact(theirs)
    print("  targets %s" % ("met" if ok else "NOT met"))
    return ok


def quickformat(build, work):
    image = os.path.join(work, "card.img")
    mkfs(image, 256 << 20, 4096)
    m = Mount(image, os.path.join(work, "mnt"))
    want = {}
    rng = random.Random(7)
    for i in range(300):
        p = "DCIM/100CANON/IMG_%04d.JPG" % i
        want[p] = data(int(20000 + 2000000 * rng.random() ** 3), 2000 + i)
    for a in range(3):
        for b in range(4):
            for i in range(8):
                p = "Documents/project %d/part %d/note %d – ünïcode.txt" % (a, b, i)
                want[p] = data(int(100 + 60000 * rng.random()), 3000 + a * 100 + b * 10 + i)
    for p, b in want.items():
        m.write(p, b)
    m.close()
    mkfs(image, 256 << 20, 4096)
    ours, summary, kovtime = kov(build, image, os.path.join(work, "deep"), deep=True)
    bytes_back = {h for h in ours.values()}
    back = sum(1 for h in map(digest, want.values()) if h in bytes_back)
    # lost/dirNNNNN/<path below the top folder>
    below = {("/".join(q.split("/")[2:]), h) for q, h in ours.items() if q.startswith("lost/")}
    named = sum(1 for p, b in want.items() if (p.split("/", 1)[1], digest(b)) in below)
    print("quick format, 4 KiB clusters: %d files, %d back byte for byte (%.1f %%), %d of them in their folders "
          "(%.1f %%), %.2f s" % (len(want), back, 100.0 * back / len(want), named, 100.0 * named / len(want), kovtime))
    print("  " + summary)
    theirs, status, _ = tsk(image, os.path.join(work, "tskdeep"))
    print("  tsk_recover: %d back, %s" % (sum(1 for h in map(digest, want.values()) if h in set(theirs.values())),
                                           status))
    return back * 100 >= 99 * len(want)


def big(build, work, fat32):
    here = os.path.dirname(os.path.abspath(__file__))
    stage = tempfile.mkdtemp(dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else work)
    plan = sh("python3", os.path.join(here, "volumetool.py"), "stage", stage).decode().split("\n")
    image = os.path.join(work, "big.img")
    with open(image, "wb") as f:
        f.truncate(2048 << 20)
    sh("mkfs.exfat", "-c", "4K", image)
    m = Mount(image, os.path.join(work, "mnt"))
    try:
        for line in plan:
            verb, _, args = line.partition(" ")
            if verb == "mmd":
                for d in args.split():
                    os.makedirs(m.path(d.lstrip(":")), exist_ok=True)
            elif verb == "copy":
                for name in sorted(os.listdir(os.path.join(stage, args))):
                    if os.path.isfile(os.path.join(stage, args, name)):
                        shutil.copyfile(os.path.join(stage, args, name), m.path(os.path.join(args, name)))
        for line in plan:
            verb, _, args = line.partition(" ")
            if verb == "del":
                for p in args.split():
                    os.remove(m.path(p.lstrip(":").lstrip("/")))
    finally:
        shutil.rmtree(stage)
        m.close()
    times = {}
    for label, cmd in (("fat32", [os.path.join(build, "kov-recover"), fat32]),
                       ("exfat", [os.path.join(build, "kov-recover"), image])):
        runs = []
        for r in range(3):
            out = os.path.join(work, "%s-out%d" % (label, r))
            start = time.time()
            subprocess.run(cmd + [out], check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            runs.append(time.time() - start)
            print("  %s run %d: %.2f s, %d files" % (label, r, runs[-1], len(digests(out))))
            shutil.rmtree(out)
        times[label] = statistics.median(runs)
    ratio = times["exfat"] / times["fat32"]
    print("2 GiB volume: FAT32 %.2f s, exFAT %.2f s (%.2f x; target <= 1.5)" % (times["fat32"], times["exfat"], ratio))
    return ratio <= 1.5


def main():
    if len(sys.argv) not in (2, 4) or (len(sys.argv) == 4 and sys.argv[2] not in ("--big", "--big-only")):
        print(__doc__, file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="kovexfat-")
    try:
        ok = True
        if len(sys.argv) == 2 or sys.argv[2] == "--big":
            ok = all([compare(build, work, c, later) for c in (4096, 32768, 131072) for later in (False, True)])
            ok = quickformat(build, work) and ok
        if len(sys.argv) == 4:
            ok = big(build, work, os.path.abspath(sys.argv[3])) and ok
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("all targets met" if ok else "some targets NOT met")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
