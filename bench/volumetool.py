#!/usr/bin/env python3
"""Helpers of make-volume.sh: the deterministic file set of the benchmark
volume, and the directory-entry patcher of its --zero-high variant.

  volumetool.py stage STAGEDIR      write the files, print the plan
  volumetool.py patch IMAGE         zero deleted high words, spread dates
  volumetool.py manifest            sha256 of every deleted file's contents

The plan (stdout of "stage") has one line per command for make-volume.sh:
  mmd DIR...                         directories to make, parents first
  copy DIR                           copy STAGEDIR/DIR/* into ::DIR/
  del PATH...                        files to delete (::-relative)
"""

import hashlib
import os
import random
import struct
import sys

FILES = 50_000
DELETED = 10_000
TOPDIRS = 20
SUBDIRS = 14            # 20 + 20 * 14 = 300 directories
MINSIZE = 64
MAXSIZE = 128 * 1024
SEED = 20240607
# Plain variant: file i was written at 2019-06-01 10:00:00 UTC + 7 i seconds.
PLAINBASE = 1559383200
PLAINSTEP = 7
# --zero-high variant: file i was created at 1990-01-02 00:00 + i * SPREAD
# minutes (local = UTC), which spreads the 50,000 files over 1990 .. 2019.
SPREADSTEP = 315        # minutes; 50,000 * 315 min = 29.96 years


def directories():
    out = []
    for t in range(TOPDIRS):
        out.append("D%03d" % t)
        for s in range(SUBDIRS):
            out.append("D%03d/S%02d" % (t, s))
    return out


def plan():
    """(directory, [file indices]) in copy order, sizes, deleted set."""
    rng = random.Random(SEED)
    # Log-uniform sizes: many small files, some large; mean about 16.8 KiB.
    sizes = [int(MINSIZE * (MAXSIZE / MINSIZE) ** rng.random()) for _ in range(FILES)]
    sizes = [min(max(s, MINSIZE), MAXSIZE) for s in sizes]
    deleted = set(rng.sample(range(FILES), DELETED))
    dirs = directories()
    layout = []
    for d, name in enumerate(dirs):
        lo = d * FILES // len(dirs)
        hi = (d + 1) * FILES // len(dirs)
        layout.append((name, list(range(lo, hi))))
    return layout, sizes, deleted


def filename(i):
    return "IMG%05d.JPG" % i


_BLOCK = None


def contents(i, size):
    """Distinct, incompressible-looking bytes for file i."""
    global _BLOCK
    if _BLOCK is None:
        block = random.Random(SEED + 1).randbytes(1 << 20)
        _BLOCK = block + block[: MAXSIZE]
    head = (b"KOVBENCH%08d" % i)[: min(size, 16)]
    start = (i * 4099) % (1 << 20)
    return head + _BLOCK[start: start + size - len(head)]


def stage(stagedir):
    layout, sizes, deleted = plan()
    print("mmd " + " ".join("::" + d for d in directories()))
    for name, indices in layout:
        path = os.path.join(stagedir, name)
        os.makedirs(path, exist_ok=True)
        for i in indices:
            f = os.path.join(path, filename(i))
            with open(f, "wb") as out:
                out.write(contents(i, sizes[i]))
            t = PLAINBASE + PLAINSTEP * i
            os.utime(f, (t, t))
        print("copy " + name)
    # One mdel per directory keeps command lines short.
    for name, indices in layout:
        gone = ["::%s/%s" % (name, filename(i)) for i in indices if i in deleted]
        if gone:
            print("del " + " ".join(gone))


def manifest():
    layout, sizes, deleted = plan()
    for name, indices in layout:
        for i in indices:
            if i in deleted:
                h = hashlib.sha256(contents(i, sizes[i])).hexdigest()
                print("%s  %d  %s/%s" % (h, sizes[i], name, filename(i)))


# ---- the --zero-high patcher ----

def fatdate(y, mo, d):
    return (y - 1980) << 9 | mo << 5 | d


def fattime(h, mi, s):
    return h << 11 | mi << 5 | s // 2


def spreadstamp(i):
    """Creation date and time words of file i in the --zero-high variant."""
    import datetime
    t = datetime.datetime(1990, 1, 2) + datetime.timedelta(minutes=SPREADSTEP * i, seconds=2 * (i % 30))
    return fatdate(t.year, t.month, t.day), fattime(t.hour, t.minute, t.second)


def patch(image):
    with open(image, "r+b") as f:
        boot = f.read(512)
        bps, spc, rsv, nfats = struct.unpack_from("<HBHB", boot, 11)
        spf = struct.unpack_from("<I", boot, 36)[0]
        rootcluster = struct.unpack_from("<I", boot, 44)[0]
        if struct.unpack_from("<H", boot, 22)[0] != 0 or spf == 0:
            sys.exit("patch: not a FAT32 volume")
        f.seek(rsv * bps)
        fat = f.read(spf * bps)
        entries = len(fat) // 4
        clusterbytes = bps * spc
        datastart = (rsv + nfats * spf) * bps

        def chain(c):
            out = []
            while 2 <= c < 0x0FFFFFF8 and c < entries and len(out) < entries:
                out.append(c)
                c = struct.unpack_from("<I", fat, 4 * c)[0] & 0x0FFFFFFF
            return out

        zeroed = stamped = 0
        todo = [rootcluster]
        seen = set()
        while todo:
            first = todo.pop()
            if first in seen:
                continue
            seen.add(first)
            for c in chain(first):
                pos = datastart + (c - 2) * clusterbytes
                f.seek(pos)
                buf = bytearray(f.read(clusterbytes))
                changed = False
                for off in range(0, clusterbytes, 32):
                    e = buf[off: off + 32]
                    if e[0] == 0x00 or e[0] == 0x2E or e[11] == 0x0F or e[11] & 0x08:
                        continue
                    start = struct.unpack_from("<H", e, 20)[0] << 16 | struct.unpack_from("<H", e, 26)[0]
                    if e[11] & 0x10:
                        if e[0] != 0xE5:
                            todo.append(start)
                        continue
                    name = bytes(e[1:8])
                    if not (name[:2] == b"MG" and name[2:7].isdigit()):
                        continue
                    i = int(name[2:7])
                    date, time = spreadstamp(i)
                    struct.pack_into("<HH", buf, off + 14, time, date)
                    buf[off + 13] = 0
                    stamped += 1
                    if e[0] == 0xE5:
                        struct.pack_into("<H", buf, off + 20, 0)
                        zeroed += 1
                    changed = True
                if changed:
                    f.seek(pos)
                    f.write(buf)
    print("patched %d entries: creation stamps spread, %d deleted high words zeroed" % (stamped, zeroed),
          file=sys.stderr)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "stage":
        stage(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "patch":
        patch(sys.argv[2])
    elif len(sys.argv) == 2 and sys.argv[1] == "manifest":
        manifest()
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
