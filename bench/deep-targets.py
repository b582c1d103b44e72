#!/usr/bin/env python3
"""Targets of kov-recover --deep, measured on volumes made with mkfs.fat and mtools.

  bench/deep-targets.py KOV_RECOVER [VOLUME.img]

- deltree: folder trees written in interleaved mcopy sessions (so that their
  directories span several clusters apart from each other), two whole trees
  removed with mdeltree. Share of their files back byte for byte (>= 97 %).
- format: a card with camera photos in DCIM/1xxCANON and documents in a
  three-level tree, quick-formatted by running mkfs.fat again over the image
  with the same geometry. Share back byte for byte (>= 99 %), and of those
  below a second-level folder, the share in a folder of their folder's name
  (>= 90 %).
- On both: the deep run keeps every file the plain run saves (same name, same
  bytes), and the share of its outputs whose bytes match no file written.
- With VOLUME (bench/make-volume.sh): the deep run keeps the plain run's
  files, and wall time, CPU time and peak RSS of a plain and a deep run,
  medians of 3 in the same run (deep at most 2.5 x plain).
"""
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile

from filetree import digest, digests

ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", SOURCE_DATE_EPOCH="1600000000", TZ="UTC", LC_ALL="C.UTF-8")


def run(*args):
    subprocess.run(args, check=True, env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def mkfs(image, bits, size, spc):
    if not os.path.exists(image):
        with open(image, "wb") as f:
            f.truncate(size)
    # No -C: run over an existing image this rewrites only the boot sector,
    # the FATs and the root directory, like a quick format.
    run("mkfs.fat", "-F", str(bits), "-s", str(spc), "-i", "1234ABCD", image)


def outputs(top):
    """(relative path, digest) of every file below top."""
    return list(digests(top).items())


def recover(binary, image, out, deep):
    args = [binary] + (["--deep"] if deep else []) + [image, out]
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return outputs(out)


def build_deltree(work, bits, rnd):
    image = os.path.join(work, f"deltree{bits}.img")
    # 512-byte clusters: 16 slots each, so every folder spans many clusters.
    mkfs(image, bits, (24 if bits == 16 else 80) << 20, 1)
    folders = []
    for top in ("TREE1", "TREE2", "TREE3"):
        run("mmd", "-i", image, f"::/{top}")
        folders.append(top)
        for sub in ("Sub A", "SUBB"):
            run("mmd", "-i", image, f"::/{top}/{sub}")
            folders.append(f"{top}/{sub}")
        run("mmd", "-i", image, f"::/{top}/Sub A/Deeper level")
        folders.append(f"{top}/Sub A/Deeper level")
    files = {}
    stage = os.path.join(work, "stage")
    for session in range(6):
        for folder in folders:
            shutil.rmtree(stage, ignore_errors=True)
            os.makedirs(stage)
            names = []
            for k in range(7):
                name = f"file {session}-{k}.dat" if k % 2 else f"F{session}_{k}.BIN"
                data = rnd.randbytes(rnd.randint(100, 40000))
                with open(os.path.join(stage, name), "wb") as f:
                    f.write(data)
                names.append(os.path.join(stage, name))
                files[f"{folder}/{name}"] = data
            run("mcopy", "-i", image, *names, f"::/{folder}/")
    run("mdeltree", "-i", image, "::/TREE1")
    run("mdeltree", "-i", image, "::/TREE2")
    deleted = {p: d for p, d in files.items() if not p.startswith("TREE3/")}
    return image, deleted, files


def build_format(work, bits, rnd):
    image = os.path.join(work, f"format{bits}.img")
    spc = 4 if bits == 16 else 1
    size = (64 if bits == 16 else 128) << 20
    mkfs(image, bits, size, spc)
    src = os.path.join(work, "card")
    shutil.rmtree(src, ignore_errors=True)
    files = {}
    plan = {"DCIM/100CANON": 120, "DCIM/101CANON": 70, "DCIM/102CANON": 25}
    for folder, count in plan.items():
        for k in range(count):
            files[f"{folder}/IMG_{k + 1:04d}.JPG"] = rnd.randbytes(rnd.randint(20000, 160000))
    for folder in ("Documents/Projects 2020/Reports", "Documents/Projects 2020/Budget plans",
                   "Documents/Letters/Insurance", "Documents/Letters/Bank"):
        for k in range(rnd.randint(8, 30)):
            files[f"{folder}/Document number {k}.txt"] = rnd.randbytes(rnd.randint(200, 30000))
    for path, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(src, path)), exist_ok=True)
        with open(os.path.join(src, path), "wb") as f:
            f.write(data)
    run("mcopy", "-s", "-i", image, os.path.join(src, "DCIM"), os.path.join(src, "Documents"), "::/")
    mkfs(image, bits, size, spc)
    return image, files, files


def measure(binary, work, name, image, lost, written):
    plain = recover(binary, image, os.path.join(work, name + ".plain"), False)
    deep = recover(binary, image, os.path.join(work, name + ".deep"), True)
    want = {}
    for path, data in lost.items():
        want.setdefault(digest(data), []).append(path)
    known = {digest(d) for d in written.values()}
    back = {}
    for rel, dig in deep:
        for path in want.get(dig, []):
            if path not in back or rel.startswith("lost/"):
                back[path] = rel
    below = [p for p in back if p.count("/") >= 2]
    infolder = [p for p in below if (["."] + back[p].split("/"))[-2] == p.split("/")[-2]]
    plainset = set(plain)
    kept = sum(1 for item in plainset if item in set(deep))
    garbage = sum(1 for _, dig in deep if dig not in known)
    # After mdeltree the plain run saves the files of each folder's first
    # cluster flat, so only the formatted cards tell about folders.
    folders = (f"; below a second-level folder {len(infolder)}/{len(below)} in a folder of its name "
               f"({100.0 * len(infolder) / max(len(below), 1):.1f} %)" if name.startswith("format") else "")
    print(f"{name}: {len(back)}/{len(lost)} back byte for byte ({100.0 * len(back) / len(lost):.1f} %), "
          f"plain run {sum(1 for _, d in plain if d in want)}{folders}; plain outputs kept "
          f"{kept}/{len(plainset)}; outputs matching nothing {garbage}/{len(deep)}")
    return len(back) / len(lost), len(infolder) / max(len(below), 1), kept == len(plainset)


def timed(binary, image, out, deep):
    args = ["/usr/bin/time", "-f", "%e %U %S %M", binary] + (["--deep"] if deep else []) + [image, out]
    r = subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    wall, user, sys_, rss = r.stderr.strip().splitlines()[-1].split()
    shutil.rmtree(out)
    return float(wall), float(user) + float(sys_), int(rss) // 1024


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    binary = os.path.abspath(sys.argv[1])
    ok = True
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as work:
        for bits in (16, 32):
            rnd = random.Random(bits)
            image, lost, written = build_deltree(work, bits, rnd)
            share, _, kept = measure(binary, work, f"deltree FAT{bits}", image, lost, written)
            ok &= share >= 0.97 and kept
            image, lost, written = build_format(work, bits, rnd)
            share, folders, kept = measure(binary, work, f"format FAT{bits}", image, lost, written)
            ok &= share >= 0.99 and folders >= 0.90 and kept
        if len(sys.argv) == 3:
            image = sys.argv[2]
            subprocess.run(["cat", image], check=True, stdout=subprocess.DEVNULL)
            plainout = set(recover(binary, image, os.path.join(work, "vp"), False))
            deepout = set(recover(binary, image, os.path.join(work, "vd"), True))
            shutil.rmtree(os.path.join(work, "vp"))
            shutil.rmtree(os.path.join(work, "vd"))
            print(f"volume: plain run {len(plainout)} files, deep run {len(deepout)}, "
                  f"plain files the deep run kept {len(plainout & deepout)}")
            ok &= plainout <= deepout
            plain, deep = [], []
            for i in range(3):
                plain.append(timed(binary, image, os.path.join(work, f"p{i}"), False))
                deep.append(timed(binary, image, os.path.join(work, f"d{i}"), True))
            p = statistics.median(w for w, _, _ in plain)
            d = statistics.median(w for w, _, _ in deep)
            pc = statistics.median(c for _, c, _ in plain)
            dc = statistics.median(c for _, c, _ in deep)
            print(f"volume: plain {p:.2f} s wall, {pc:.2f} s CPU, {max(r for _, _, r in plain)} MiB; "
                  f"deep {d:.2f} s wall, {dc:.2f} s CPU, {max(r for _, _, r in deep)} MiB: "
                  f"{d / p:.2f} x plain (CPU {dc / pc:.2f} x)")
            ok &= d <= 2.5 * p
    print("targets met" if ok else "TARGETS MISSED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
