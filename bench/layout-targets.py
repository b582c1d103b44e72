#!/usr/bin/env python3
"""Targets of the layout search and the damaged system area, on cards made
with mkfs.fat and mtools.

  bench/layout-targets.py KOV_RECOVER [--hostile-pairs N]

The card: a 512 MiB FAT32 volume with 4 KiB clusters, a first session of
photos at the root, then camera photos in DCIM/1xxCAMERA and documents in a
three-level tree written in interleaved sessions; every seventh file
deleted. Each case runs on its own copy:

- zeroed: everything before the data area zeroed (boot sector, backup,
  FSInfo, both FATs). kov-recover --deep: files back byte for byte (>= 99 %),
  and of those below a second-level folder, the share in a folder of their
  folder's name (>= 90 %).
- sector0: sector 0 zeroed. The output tree equals the intact card's.
- fatgarbage: the first FAT filled with garbage. Output equals the intact card's.
- reformat: mkfs.fat -s 4 over the card (no -C). kov-recover --deep: files of
  the old layout back byte for byte with their folder's name (>= 88 %).
- time: the layout search's time (its own stderr line) against the deep
  scan's on the zeroed card, and wall time / peak RSS of --deep on the intact
  card with and without it (kov-recover always searches with --deep).
- hostile: an image of N sectors (default 2^20) each opening with a fake
  "."/".." pair of random clusters: wall time and peak RSS of --deep.
"""
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile

from fatgeometry import geometry
from filetree import digest, digests

ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", SOURCE_DATE_EPOCH="1600000000", TZ="UTC", LC_ALL="C.UTF-8")


def run(*args):
    subprocess.run(args, check=True, env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def kov(binary, args):
    r = subprocess.run(["/usr/bin/time", "-f", "TIME %e %M", binary] + args, env=ENV, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, text=True)
    wall, rss = re.findall(r"TIME ([0-9.]+) ([0-9]+)", r.stderr)[-1]
    return r.returncode, r.stderr, float(wall), int(rss) // 1024


def build_card(work, rnd):
    image = os.path.join(work, "card.img")
    with open(image, "wb") as f:
        f.truncate(512 << 20)
    run("mkfs.fat", "-F", "32", "-s", "8", "-i", "1234ABCD", image)
    stage = os.path.join(work, "stage")
    files = {}

    def session(folder, names):
        shutil.rmtree(stage, ignore_errors=True)
        os.makedirs(stage)
        paths = []
        for name in names:
            data = rnd.randbytes(rnd.randint(2000, 200000) if name.endswith(".JPG") else rnd.randint(200, 30000))
            with open(os.path.join(stage, name), "wb") as f:
                f.write(data)
            paths.append(os.path.join(stage, name))
            files[f"{folder}/{name}" if folder else name] = data
        run("mcopy", "-i", image, *paths, f"::/{folder}/" if folder else "::/")

    session("", [f"OLD_{k:04d}.JPG" for k in range(20)])
    folders = ["DCIM/100CAMERA", "DCIM/101CAMERA", "Documents/Projects 2020/Reports",
               "Documents/Projects 2020/Budget plans", "Documents/Letters/Insurance", "Documents/Letters/Bank"]
    made = set()
    for folder in folders:
        parts = folder.split("/")
        for i in range(1, len(parts) + 1):
            if "/".join(parts[:i]) not in made:
                run("mmd", "-i", image, "::/" + "/".join(parts[:i]))
                made.add("/".join(parts[:i]))
    n = 0
    for s in range(9):
        for folder in folders:
            photo = folder.startswith("DCIM")
            names = []
            for _ in range(10 if photo else 8):
                names.append(f"IMG_{n:04d}.JPG" if photo else f"Document number {n}.txt")
                n += 1
            session(folder, names)
    deleted = sorted(files)[::7]
    for path in deleted:
        run("mdel", "-i", image, "::/" + path)
    return image, files


def score(files, out, under=None):
    """(back byte for byte, of them below a 2nd-level folder in a folder of its name, those below)."""
    got = digests(out)
    bydigest = {}
    for path, d in got.items():
        bydigest.setdefault(d, []).append(path)
    back = 0
    deep = deepnamed = 0
    for path, data in files.items():
        paths = [p for p in bydigest.get(digest(data), []) if under is None or p.startswith(under)]
        if not paths:
            continue
        back += 1
        parts = path.split("/")
        if len(parts) >= 3:
            deep += 1
            deepnamed += any(os.path.basename(os.path.dirname(p)) == parts[-2] for p in paths)
    return back, deepnamed, deep


def main():
    args = sys.argv[1:]
    if not args:
        sys.exit(__doc__)
    binary = os.path.abspath(args[0])
    hostile = 1 << 20
    if len(args) == 3 and args[1] == "--hostile-pairs":
        hostile = int(args[2])
    ok = True
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as work:
        rnd = random.Random(20)
        card, files = build_card(work, rnd)
        total = len(files)
        start, fatstart, fatbytes = geometry(card)
        intact = os.path.join(work, "intact")
        kov(binary, [card, intact])
        intacttree = digests(intact)
        print(f"card: {total} files written, {len(intacttree)} files from the intact card (plain run)")

        def copy(name):
            path = os.path.join(work, name + ".img")
            shutil.copyfile(card, path)
            return path

        img = copy("zeroed")
        with open(img, "r+b") as f:
            f.write(bytes(start))
        out = os.path.join(work, "zeroed-out")
        status, err, wall, rss = kov(binary, ["--deep", img, out])
        back, named, deep = score(files, out)
        search = float(re.search(r"layout search: .* ([0-9.]+) s", err).group(1))
        print(f"zeroed: status {status}, {back}/{total} back byte for byte ({100 * back / total:.1f} %), "
              f"{named}/{deep} below a second-level folder in a folder of its name; "
              f"--deep {wall:.2f} s, layout search {search:.2f} s ({search / max(wall - search, 1e-3):.2f} x the rest), "
              f"peak RSS {rss} MiB")
        ok &= back >= 0.99 * total and named >= 0.90 * deep

        img = copy("sector0")
        with open(img, "r+b") as f:
            f.write(bytes(512))
        out = os.path.join(work, "sector0-out")
        status, err, _, _ = kov(binary, [img, out])
        same = digests(out) == intacttree
        print(f"sector0: status {status}, output equals the intact card's: {same}")
        ok &= same

        img = copy("fatgarbage")
        with open(img, "r+b") as f:
            f.seek(fatstart)
            f.write(random.Random(7).randbytes(fatbytes))
        out = os.path.join(work, "fatgarbage-out")
        status, err, _, _ = kov(binary, [img, out])
        same = digests(out) == intacttree
        print(f"fatgarbage: status {status}, output equals the intact card's: {same}")
        ok &= same

        img = copy("reformat")
        run("mkfs.fat", "-F", "32", "-s", "4", "-i", "1234ABCD", img)
        out = os.path.join(work, "reformat-out")
        status, err, wall, rss = kov(binary, ["--deep", img, out])
        back, named, deep = score(files, out, "lost/earlier-layout-4k/")
        foldered = [p for p in files if "/" in p]
        inf = score({p: files[p] for p in foldered}, out, "lost/earlier-layout-4k/")[0]
        print(f"reformat 4K->2K: status {status}, {back}/{total} back byte for byte under lost/earlier-layout-4k/ "
              f"({100 * back / total:.1f} %; {inf}/{len(foldered)} of the files in folders), "
              f"{named}/{deep} below a second-level folder in a folder of its name; --deep {wall:.2f} s")
        ok &= back >= 0.88 * total

        for deep in (False, True):
            out = os.path.join(work, f"time-{deep}")
            status, err, wall, rss = kov(binary, (["--deep"] if deep else []) + [card, out])
            m = re.search(r"layout search: .* ([0-9.]+) s", err)
            print(f"intact card {'--deep' if deep else 'plain '}: {wall:.2f} s, peak RSS {rss} MiB"
                  + (f", of it layout search {m.group(1)} s" if m else ""))
            shutil.rmtree(out)

        img = os.path.join(work, "hostile.img")
        prng = random.Random(3)
        with open(img, "wb") as f:
            chunk = bytearray()
            for i in range(hostile):
                sector = bytearray(512)
                sector[0:11] = b".          "
                sector[11] = 0x10
                c = prng.randrange(2, 1 << 28)
                struct.pack_into("<H", sector, 20, c >> 16)
                struct.pack_into("<H", sector, 26, c & 0xFFFF)
                sector[32:43] = b"..         "
                sector[43] = 0x10
                chunk += sector
                if len(chunk) >= 4 << 20:
                    f.write(chunk)
                    chunk = bytearray()
            f.write(chunk)
        out = os.path.join(work, "hostile-out")
        status, err, wall, rss = kov(binary, ["--deep", img, out])
        last = [l for l in err.splitlines() if "layout" in l]
        print(f"hostile: {hostile} fake pairs ({hostile * 512 >> 20} MiB): status {status}, {wall:.2f} s, "
              f"peak RSS {rss} MiB; {last[-1] if last else ''}")
    print("targets met" if ok else "targets NOT met")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
