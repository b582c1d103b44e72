#!/usr/bin/env python3
"""The photographer's card: kov-recover --deep --carve against photorec.

  bench/camera-card.py KOV_RECOVER KOV_RAWSHOT

A 1 GiB FAT32 card (mkfs.fat, 4 KiB clusters) with 40 shots in
DCIM/100CAMRA, each a RAW file of CR2, NEF or DNG structure (5 to 16 MB,
made by kov_rawshot: real JPEG previews from ImageMagick, a raw strip of
noise) written before its JPEG; three shots deleted (mdel), the card
quick-formatted (mkfs.fat again over the image) and 4 new shots written
from the first cluster on. Of the old files still intact (contiguous from a
cluster start): RAW files and JPEGs back byte for byte with --deep --carve
(target: all), junk among the carved files (target: at most 1 %), shots whose
RAW and JPEG came back side by side under one name; the same counts for
photorec (testdisk) on the same image when it is installed.
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

from filetree import digest, digests

ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", TZ="UTC", LC_ALL="C.UTF-8")
CLUSTER = 4096


def run(*args):
    subprocess.run(args, check=True, env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def readfile(path):
    with open(path, "rb") as f:
        return f.read()


def shoot(rawshot, work, image, folder, first, count, rnd):
    """count shots from IMG_<first> on, each RAW then JPEG; {card path: bytes}."""
    files = {}
    for k in range(first, first + count):
        kind = ("cr2", "nef", "dng")[k % 3]
        raw, jpg = os.path.join(work, f"s.{kind}"), os.path.join(work, "s.jpg")
        run(rawshot, kind, str(k), str(rnd.randint(5 << 20, 16 << 20)), raw, jpg)
        for local, ext in ((raw, kind.upper()), (jpg, "JPG")):
            path = f"{folder}/IMG_{k:04d}.{ext}"
            run("mcopy", "-i", image, local, "::/" + path)
            files[path] = readfile(local)
    return files


def intact(image, files):
    card = readfile(image)
    b = card
    sector = b[11] | b[12] << 8
    data = ((b[14] | b[15] << 8) + b[16] * int.from_bytes(b[36:40], "little")) * sector
    found = {}
    for path, content in files.items():
        at = card.find(content, data)
        while at >= 0 and (at - data) % CLUSTER:
            at = card.find(content, at + 1)
        if at >= 0:
            found[path] = content
    return found


def report(name, found, keep, known, live):
    """found: [(output path, digest)]."""
    raws = {digest(d) for p, d in keep.items() if not p.endswith(".JPG")}
    jpegs = {digest(d) for p, d in keep.items() if p.endswith(".JPG")}
    got = {d for _, d in found}
    junk = sum(1 for _, d in found if d not in known)
    relive = sum(1 for _, d in found if d in live)
    print(f"{name}: RAW back {len(raws & got)}/{len(raws)}, JPEG back {len(jpegs & got)}/{len(jpegs)}, "
          f"outputs {len(found)}, junk {junk} ({100.0 * junk / max(len(found), 1):.1f} %), live files {relive}")
    return raws <= got and jpegs <= got and junk <= 0.01 * max(len(found), 1)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    kov, rawshot = sys.argv[1], sys.argv[2]
    rnd = random.Random(34)
    work = tempfile.mkdtemp(prefix="kov-camera-")
    try:
        image = os.path.join(work, "card.img")
        with open(image, "wb") as f:
            f.truncate(1 << 30)
        run("mkfs.fat", "-F", "32", "-s", "8", "-i", "CA3E2A00", image)
        run("mmd", "-i", image, "::/DCIM", "::/DCIM/100CAMRA")
        old = shoot(rawshot, work, image, "DCIM/100CAMRA", 1, 40, rnd)
        for k in (7, 19, 30):
            for path in [p for p in old if f"IMG_{k:04d}." in p]:
                run("mdel", "-i", image, "::/" + path)
        run("mkfs.fat", "-F", "32", "-s", "8", "-i", "CA3E2A01", image)
        run("mmd", "-i", image, "::/DCIM", "::/DCIM/100CAMRA")
        live = shoot(rawshot, work, image, "DCIM/100CAMRA", 41, 4, rnd)
        keep = intact(image, old)
        raws = sum(1 for p in keep if not p.endswith(".JPG"))
        print(f"card: {len(old) // 2} old shots, {raws} RAW files and {len(keep) - raws} JPEGs intact")
        known = {digest(d) for d in old.values()} | {digest(d) for d in live.values()}
        livedigests = {digest(d) for d in live.values()}

        out = os.path.join(work, "kov")
        subprocess.run([kov, "--deep", "--carve", image, out], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        carved = [(p, d) for p, d in digests(out).items() if p.startswith("lost/carved/")]
        ok = report("kov-recover --deep --carve", carved, keep, known, livedigests)
        # Shots whose RAW and JPEG came back under one name in one folder.
        byname = {}
        for p, d in carved:
            byname.setdefault(os.path.splitext(p)[0], set()).add(d)
        shots = {}
        for path, data in keep.items():
            shots.setdefault(re.sub(r"\.[A-Z0-9]+$", "", path), set()).add(digest(data))
        whole = [s for s in shots.values() if len(s) == 2]
        paired = sum(1 for s in whole if any(s <= names for names in byname.values()))
        print(f"kov-recover --deep --carve: {paired}/{len(whole)} intact shots side by side under one name")

        photorec = shutil.which("photorec")
        if photorec:
            pout = os.path.join(work, "photorec")
            os.makedirs(pout)
            subprocess.run([photorec, "/d", pout + "/recup", "/cmd", image, "search"], check=True, cwd=pout,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            found = [(p, d) for p, d in digests(pout).items() if not p.endswith((".xml", ".log"))]
            report("photorec", found, keep, known, livedigests)
        sys.exit(0 if ok else 1)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
