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
- With VOLUME (bench/make-volume.sh): wall time, CPU time and peak RSS of
  --deep and --deep --carve, medians of 3 in the same run (carve at most
  1.5 x deep), and of photorec (testdisk) on the same volume, once, when it
  is installed.
"""
import hashlib
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile

ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", SOURCE_DATE_EPOCH="1600000000", TZ="UTC", LC_ALL="C.UTF-8")


def run(*args, **kw):
    return subprocess.run(args, check=True, env=ENV, stdout=kw.get("stdout", subprocess.DEVNULL),
                          stderr=subprocess.PIPE)


def digest(data):
    return hashlib.sha256(data).hexdigest()


def outputs(top):
    found = []
    for root, _, files in os.walk(top):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found.append((os.path.relpath(path, top), digest(f.read())))
    return found


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


def build(work, bits, spc, rnd):
    image = os.path.join(work, f"card{bits}.img")
    with open(image, "wb") as f:
        f.truncate(64 << 20)
    mkfs(image, bits, spc)
    stage = os.path.join(work, f"stage{bits}")
    shutil.rmtree(stage, ignore_errors=True)
    gen = os.path.join(work, f"gen{bits}")
    os.makedirs(gen, exist_ok=True)
    files = {}
    for k in range(60):
        folder = "DCIM/100CANON" if k < 40 else "DCIM/101CANON"
        files[f"{folder}/IMG_{k + 1:04d}.JPG"] = photo(gen, rnd, bits * 1000 + k)
    for k in range(25):
        folder = ("Documents/Reports 2020", "Documents/Letters", "Music")[k % 3]
        kind, data = document(gen, rnd, bits * 1000 + k)
        files[f"{folder}/Item {k}.{kind}"] = data
    for path, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(stage, path)), exist_ok=True)
        with open(os.path.join(stage, path), "wb") as f:
            f.write(data)
    run("mcopy", "-s", "-i", image, os.path.join(stage, "DCIM"), os.path.join(stage, "Documents"),
        os.path.join(stage, "Music"), "::/")
    mkfs(image, bits, spc)
    run("mmd", "-i", image, "::/DCIM", "::/DCIM/100CANON")
    live = {}
    for k in range(12):
        data = photo(gen, rnd, bits * 1000 + 500 + k)
        path = os.path.join(gen, f"new{k}.jpg")
        with open(path, "wb") as f:
            f.write(data)
        run("mcopy", "-i", image, path, f"::/DCIM/100CANON/IMG_{k + 1:04d}.JPG")
        live[f"DCIM/100CANON/IMG_{k + 1:04d}.JPG"] = data
    return image, files, live


def intact(image, files):
    """The old files whose bytes still lie contiguously from a cluster start."""
    card = readfile(image)
    b = card
    sector = b[11] | b[12] << 8
    fatsize = (b[22] | b[23] << 8) or int.from_bytes(b[36:40], "little")
    root = ((b[17] | b[18] << 8) * 32 + sector - 1) // sector
    data = ((b[14] | b[15] << 8) + b[16] * fatsize + root) * sector
    cluster = sector * b[13]
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


def measure(binary, work, name, image, files, live):
    keep = intact(image, files)
    want = {digest(d) for d in keep.values()}
    known = {digest(d) for d in files.values()} | {digest(d) for d in live.values()}
    livedigests = {digest(d) for d in live.values()}
    deep = recover(binary, image, os.path.join(work, name + ".deep"), "--deep")
    carve = recover(binary, image, os.path.join(work, name + ".carve"), "--deep", "--carve")
    deepback = want & {d for _, d in deep}
    carveback = want & {d for _, d in carve}
    carved = [(p, d) for p, d in carve if p.startswith("lost/carved/")]
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
            image, files, live = build(work, bits, spc, rnd)
            ok &= measure(binary, work, f"shoot-on FAT{bits}", image, files, live)
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
