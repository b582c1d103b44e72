#!/usr/bin/env python3
"""Targets of kov-recover --carve, measured on cards made with mkfs.fat and mtools.

  bench/carve-targets.py KOV_RECOVER [VOLUME.img]

- shoot-on (FAT16 2 KiB and FAT32 512 B clusters): a card filled with camera
  photos in DCIM/100CANON and DCIM/101CANON and documents (PDF, ZIP, gzip,
  WAV, MP3) in a folder tree, all real files (ImageMagick, zip, gzip, sox,
  lame), quick-formatted by running mkfs.fat again over the image, then 12
  new photos written from the first cluster on. Of the old files still
  intact on the card (their bytes contiguous from a cluster start): the
  share back byte for byte with --deep and with --deep --carve (>= 99 %);
  the share of carved outputs whose bytes match no file ever written
  (junk, <= 1 %); live files carved again (none). The same figures for
  photorec (testdisk) on the same card when it is installed.
- shoot-on exFAT (4 KiB clusters; as root, through the FUSE driver over a
  loop device): the same files, mkfs.exfat again, then 12 new photos.
- reformat (FAT32): the same files on 4 KiB clusters, formatted again with
  512-byte ones (the run goes on to the earlier layout's folders), then 12
  new photos. Old files count as intact from an old cluster start.
- With VOLUME (bench/make-volume.sh): wall time, CPU time and peak RSS of
  --deep and --deep --carve, medians of 3 in the same run (carve at most
  1.5 x deep), and of photorec (testdisk) on the same volume, once, when it
  is installed.
"""
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

from filetree import digest, digests

ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", SOURCE_DATE_EPOCH="1600000000", TZ="UTC", LC_ALL="C.UTF-8")


def run(*args, **kw):
    return subprocess.run(args, check=True, env=ENV, stdout=kw.get("stdout", subprocess.DEVNULL),
                          stderr=subprocess.PIPE)


def outputs(top):
    """(relative path, digest) of every file below top."""
    return list(digests(top).items())


def readfile(path):
    with open(path, "rb") as f:
        return f.read()


def photo(work, rnd, k):
    # Plasma is slow at full size: drawn small, then scaled up.
    w = rnd.choice((640, 800, 1024, 1280))
    path = os.path.join(work, f"p{k}.jpg")
    run("convert", "-seed", str(k), "-size", "200x150", "plasma:fractal", "-resize", f"{w}x{w * 3 // 4}!",
        "-quality", str(rnd.randint(85, 95)), path)
    return readfile(path)


def document(work, rnd, k):
    kind = ("pdf", "zip", "gz", "wav", "mp3")[k % 5]
    base = os.path.join(work, f"d{k}")
    if kind == "pdf":
        # Pages of text and boxes, written by Ghostscript's PDF writer.
        lines = ["%!PS", "/Helvetica findfont 10 scalefont setfont"]
        for page in range(rnd.randint(1, 4)):
            for i in range(60):
                lines.append(f"{rnd.random():.3f} {rnd.random():.3f} {rnd.random():.3f} setrgbcolor "
                             f"{rnd.randint(20, 500)} {rnd.randint(20, 750)} {rnd.randint(5, 80)} {rnd.randint(5, 40)} rectfill")
                lines.append(f"0 setgray 40 {760 - 12 * i} moveto (Document {k} page {page} line {i} {rnd.random()}) show")
            lines.append("showpage")
        with open(base + ".ps", "w") as f:
            f.write("\n".join(lines) + "\n")
        run("ps2pdf", base + ".ps", base + ".pdf")
    elif kind == "zip":
        with open(base + ".txt", "w") as f:
            f.write("".join(f"line {i} of document {k}: {rnd.random()}\n" for i in range(rnd.randint(500, 5000))))
        run("convert", "-seed", str(2000 + k), "-size", "300x200", "plasma:fractal", base + ".png")
        run("zip", "-q", "-X", "-j", base + ".zip", base + ".txt", base + ".png")
    elif kind == "gz":
        run("convert", "-seed", str(3000 + k), "-size", "300x200", "plasma:fractal", base + ".bmp")
        with open(base + ".gz", "wb") as f:
            run("gzip", "-c", "-n", base + ".bmp", stdout=f)
    else:
        run("sox", "-n", "-r", "22050", "-c", "1", base + ".wav", "synth", str(rnd.randint(2, 6)), "sine",
            str(200 + 10 * k))
        if kind == "mp3":
            run("lame", "--quiet", "--add-id3v2", "--tt", f"tone {k}", "-b", "64", base + ".wav", base + ".mp3")
    return kind, readfile(base + "." + kind)


def mkfs(image, bits, spc):
    run("mkfs.fat", "-F", str(bits), "-s", str(spc), "-i", "1234ABCD", image)


def cardfiles(gen, seed, rnd):
    files = {}
    for k in range(60):
        folder = "DCIM/100CANON" if k < 40 else "DCIM/101CANON"
        files[f"{folder}/IMG_{k + 1:04d}.JPG"] = photo(gen, rnd, seed * 1000 + k)
    for k in range(25):
        folder = ("Documents/Reports 2020", "Documents/Letters", "Music")[k % 3]
        kind, data = document(gen, rnd, seed * 1000 + k)
        files[f"{folder}/Item {k}.{kind}"] = data
    return files


def newphotos(gen, seed, rnd):
    return {f"DCIM/100CANON/IMG_{k + 1:04d}.JPG": photo(gen, rnd, seed * 1000 + 500 + k) for k in range(12)}


def stagefiles(stage, files):
    shutil.rmtree(stage, ignore_errors=True)
    for path, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(stage, path)), exist_ok=True)
        with open(os.path.join(stage, path), "wb") as f:
            f.write(data)


def build(work, bits, spc, rnd, reformat=None):
    """A FAT card of the files, formatted again (with reformat sectors per
    cluster, else the same geometry) and shot on."""
    name = f"card{bits}" + (f"r{reformat}" if reformat else "")
    image = os.path.join(work, name + ".img")
    with open(image, "wb") as f:
        f.truncate((300 if reformat else 64) << 20)
    mkfs(image, bits, spc)
    stage = os.path.join(work, "stage" + name)
    gen = os.path.join(work, "gen" + name)
    os.makedirs(gen, exist_ok=True)
    files = cardfiles(gen, bits + (reformat or 0), rnd)
    stagefiles(stage, files)
    if reformat:
        # The old folders just past the larger tables of the new format,
        # where its first new photos go.
        lead = os.path.join(gen, "LEAD.BIN")
        with open(lead, "wb") as f:
            f.write(bytes(5 << 20))
        run("mcopy", "-i", image, lead, "::/LEAD.BIN")
    run("mcopy", "-s", "-i", image, os.path.join(stage, "DCIM"), os.path.join(stage, "Documents"),
        os.path.join(stage, "Music"), "::/")
    olddata, oldcluster = fatlayout(readfile(image))
    mkfs(image, bits, reformat or spc)
    run("mmd", "-i", image, "::/DCIM", "::/DCIM/100CANON")
    live = newphotos(gen, bits + (reformat or 0), rnd)
    for path, data in live.items():
        local = os.path.join(gen, "new.jpg")
        with open(local, "wb") as f:
            f.write(data)
        run("mcopy", "-i", image, local, "::/" + path)
    return image, files, live, (olddata, oldcluster)


class ExfatMount:
    """The image mounted read-write by the exfat FUSE driver over a loop device."""

    def __init__(self, image, where):
        self.dev = subprocess.run(["losetup", "-f", "--show", image], check=True, capture_output=True,
                                  text=True).stdout.strip()
        self.where = where
        os.makedirs(where, exist_ok=True)
        run("mount.exfat-fuse", self.dev, where)

    def close(self):
        run("umount", self.where)
        run("losetup", "-d", self.dev)


def buildexfat(work, rnd):
    image = os.path.join(work, "cardexfat.img")
    with open(image, "wb") as f:
        f.truncate(64 << 20)
    run("mkfs.exfat", "-c", "4096", image)
    gen = os.path.join(work, "genexfat")
    os.makedirs(gen, exist_ok=True)
    files = cardfiles(gen, 40, rnd)
    live = newphotos(gen, 40, rnd)
    for batch in (files, live):
        m = ExfatMount(image, os.path.join(work, "mnt"))
        try:
            for path, data in batch.items():
                os.makedirs(os.path.dirname(os.path.join(m.where, path)), exist_ok=True)
                with open(os.path.join(m.where, path), "wb") as f:
                    f.write(data)
        finally:
            m.close()
        if batch is files:
            run("mkfs.exfat", "-c", "4096", image)
    # The heap begins after the boot region, the FAT and its alignment.
    b = readfile(image)[:512]
    sector = 1 << b[108]
    return image, files, live, (int.from_bytes(b[88:92], "little") * sector, sector << b[109])


def fatlayout(b):
    """Where a FAT image's data area begins and its cluster size."""
    sector = b[11] | b[12] << 8
    fatsize = (b[22] | b[23] << 8) or int.from_bytes(b[36:40], "little")
    root = ((b[17] | b[18] << 8) * 32 + sector - 1) // sector
    return ((b[14] | b[15] << 8) + b[16] * fatsize + root) * sector, sector * b[13]


def intact(image, files, layout):
    """The old files whose bytes still lie contiguously from a cluster start
    of the layout they were written on."""
    card = readfile(image)
    data, cluster = layout
    found = {}
    for path, content in files.items():
        at = card.find(content, data)
        while at >= 0 and (at - data) % cluster:
            at = card.find(content, at + 1)
        if at >= 0:
            found[path] = content
    return found


def recover(binary, image, out, *options):
    subprocess.run([binary, *options, image, out], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return outputs(out)


def measure(binary, work, name, image, files, live, layout):
    keep = intact(image, files, layout)
    want = {digest(d) for d in keep.values()}
    known = {digest(d) for d in files.values()} | {digest(d) for d in live.values()}
    livedigests = {digest(d) for d in live.values()}
    deep = recover(binary, image, os.path.join(work, name + ".deep"), "--deep")
    carve = recover(binary, image, os.path.join(work, name + ".carve"), "--deep", "--carve")
    deepback = want & {d for _, d in deep}
    carveback = want & {d for _, d in carve}
    carved = [(p, d) for p, d in carve if re.match(r"lost/(earlier-layout-[^/]+/)?carved/", p)]
    junk = sum(1 for _, d in carved if d not in known)
    livecarved = sum(1 for _, d in carved if d in livedigests)
    share = len(carveback) / max(len(want), 1)
    print(f"{name}: {len(keep)}/{len(files)} old files intact; back byte for byte: --deep {len(deepback)} "
          f"({100.0 * len(deepback) / max(len(want), 1):.1f} %), --deep --carve {len(carveback)} ({100.0 * share:.1f} %); "
          f"carved {len(carved)}, junk {junk} ({100.0 * junk / max(len(carved), 1):.1f} %), live files carved {livecarved}")
    photorec = shutil.which("photorec")
    if photorec:
        out = os.path.join(work, name.replace(" ", "_") + ".photorec")
        os.makedirs(out)
        subprocess.run([photorec, "/d", out + "/recup", "/cmd", image, "search"], check=True, cwd=out,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        found = [(p, d) for p, d in outputs(out) if not p.endswith((".xml", ".log"))]
        back = want & {d for _, d in found}
        pjunk = sum(1 for _, d in found if d not in known)
        plive = sum(1 for _, d in found if d in livedigests)
        print(f"{name}: photorec {len(back)} ({100.0 * len(back) / max(len(want), 1):.1f} %) back byte for byte, "
              f"{len(found)} outputs, junk {pjunk} ({100.0 * pjunk / max(len(found), 1):.1f} %), live files {plive}")
    return share >= 0.99 and junk <= 0.01 * max(len(carved), 1) and livecarved == 0


def timed(command, out, cwd=None):
    args = ["/usr/bin/time", "-f", "%e %U %S %M"] + command
    r = subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, cwd=cwd)
    wall, user, sys_, rss = r.stderr.strip().splitlines()[-1].split()
    shutil.rmtree(out, ignore_errors=True)
    return float(wall), float(user) + float(sys_), int(rss) // 1024


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    binary = os.path.abspath(sys.argv[1])
    ok = True
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as work:
        for bits, spc in ((16, 4), (32, 1)):
            rnd = random.Random(bits)
            image, files, live, layout = build(work, bits, spc, rnd)
            ok &= measure(binary, work, f"shoot-on FAT{bits}", image, files, live, layout)
        if os.geteuid() == 0 and shutil.which("mount.exfat-fuse"):
            image, files, live, layout = buildexfat(work, random.Random(40))
            ok &= measure(binary, work, "shoot-on exFAT", image, files, live, layout)
        else:
            print("shoot-on exFAT: skipped (needs root and exfat-fuse)")
        image, files, live, layout = build(work, 32, 8, random.Random(33), reformat=1)
        ok &= measure(binary, work, "reformat FAT32 4 KiB to 512 B", image, files, live, layout)
        if len(sys.argv) == 3:
            image = sys.argv[2]
            subprocess.run(["cat", image], check=True, stdout=subprocess.DEVNULL)
            deep, carve = [], []
            for i in range(3):
                deep.append(timed([binary, "--deep", image, os.path.join(work, f"d{i}")], os.path.join(work, f"d{i}")))
                carve.append(timed([binary, "--deep", "--carve", image, os.path.join(work, f"c{i}")],
                                   os.path.join(work, f"c{i}")))
            d = statistics.median(w for w, _, _ in deep)
            c = statistics.median(w for w, _, _ in carve)
            dc = statistics.median(x for _, x, _ in deep)
            cc = statistics.median(x for _, x, _ in carve)
            print(f"volume: --deep {d:.2f} s wall, {dc:.2f} s CPU, {max(r for _, _, r in deep)} MiB; "
                  f"--deep --carve {c:.2f} s wall, {cc:.2f} s CPU, {max(r for _, _, r in carve)} MiB: "
                  f"{c / d:.2f} x --deep (CPU {cc / dc:.2f} x)")
            ok &= c <= 1.5 * d
            photorec = shutil.which("photorec")
            if photorec:
                out = os.path.join(work, "photorec")
                os.makedirs(out)
                w, x, r = timed([photorec, "/d", out + "/recup", "/cmd", image, "search"], out, cwd=out)
                print(f"volume: photorec {w:.2f} s wall, {x:.2f} s CPU, {r} MiB: {w / c:.2f} x --deep --carve")
    print("targets met" if ok else "TARGETS MISSED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
