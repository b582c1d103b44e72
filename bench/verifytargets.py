#!/usr/bin/env python3
"""The targets of kov-recover --verify and --original-names, measured on
volumes made the way the failures happen (mkfs.fat, mtools, and real files
made by ImageMagick, zip, gzip, sox and lame):

  holes   FAT32: 300 small files of nine formats with long names (some
          non-ASCII), every other one deleted, then large files written into
          the holes and every third of those deleted too.
  camera  FAT32 with 1 KiB clusters (high start words 0 .. 5): 100 photos
          between videos, all deleted with their high words zeroed as
          Windows does, dated 2022; then new files written over the first
          deleted clusters.

  bench/verifytargets.py KOV_RECOVER [WORKDIR] [--against OLD_KOV_RECOVER]

Prints, per volume: how many outputs have wrong bytes and how many of those
landed in damaged/ (target >= 60 %), how many outputs with right bytes are in
damaged/ (target 0), how many deleted long-named files come back under their
long names (target >= 95 %), and on the camera card how many photos with
intact clusters come back verified with the right bytes (target all).

--against: each volume is also recovered by OLD_KOV_RECOVER, with and
without --verify, and both are scored alike: deleted files back byte for
byte outside damaged/, and outputs outside damaged/ that equal no file ever
written to the volume.
"""

import hashlib
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", LC_ALL="C.UTF-8", TZ="UTC", SOURCE_DATE_EPOCH="1650000000")


def run(*args, **kw):
    return subprocess.run(args, check=True, env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


def mkfs(image, size, cluster_sectors):
    with open(image, "wb") as f:
        f.truncate(size)
    run("mkfs.fat", "-F", "32", "-s", str(cluster_sectors), "-i", "4B4F5632", image)


# Per image: {path: SHA-256} of what was last written there, and the set of
# every SHA-256 written and deleted; for --against.
WRITTEN = {}
EVER = {}
DELETED = {}
AGAINST = None


def sha(data):
    return hashlib.sha256(data).hexdigest()


def mcopy(image, local, path, keep_mtime=False):
    run("mcopy", "-o", *(["-m"] if keep_mtime else []), "-i", image, local, "::" + path)
    with open(local, "rb") as f:
        digest = sha(f.read())
    WRITTEN.setdefault(image, {})[path] = digest
    EVER.setdefault(image, set()).add(digest)


def mdel(image, *paths):
    run("mdel", "-i", image, *["::" + p for p in paths])
    for p in paths:
        DELETED.setdefault(image, set()).add(WRITTEN[image].pop(p))


def against(kov, image, work, *flags):
    """Both builds with and without --verify on one image, scored alike."""
    if not AGAINST:
        return
    for build, binary in (("before", AGAINST), ("now", kov)):
        for verify in ([], ["--verify"]):
            out = os.path.join(work, "against-out")
            shutil.rmtree(out, ignore_errors=True)
            recover(binary, image, out, *verify, *flags)
            found = [(p, sha(d)) for p, d in outputs(out).items()]
            good = {d for p, d in found if not p.startswith("damaged/")}
            junk = sum(1 for p, d in found if not p.startswith("damaged/") and d not in EVER[image])
            print("  %-6s %-9s exact outside damaged/ %d / %d, outputs %d, junk outside damaged/ %d"
                  % (build, " ".join(verify) or "plain", len(good & DELETED[image]), len(DELETED[image]),
                     len(found), junk))
            shutil.rmtree(out)


def reset_hint(image):
    """FSInfo next-free hint to unknown: mtools then fills from cluster 2."""
    with open(image, "r+b") as f:
        boot = f.read(512)
        bps = struct.unpack_from("<H", boot, 11)[0]
        fsinfo = struct.unpack_from("<H", boot, 48)[0]
        f.seek(fsinfo * bps + 492)
        f.write(struct.pack("<I", 0xFFFFFFFF))


def make_file(kind, work, seed):
    """A real file of that kind; its bytes."""
    with open(make_path(kind, work, seed), "rb") as f:
        return f.read()


def make_path(kind, work, seed):
    """Makes a real file of that kind; its path."""
    out = os.path.join(work, "sample-%d.%s" % (seed, kind))
    if kind in ("jpg", "png", "gif", "bmp"):
        run("convert", "-seed", str(seed), "-size", "240x180", "plasma:fractal", "-quality", "90", out)
    elif kind == "bigbmp":
        out = out[:-6] + "bmp"
        run("convert", "-seed", str(seed), "-size", "480x360", "plasma:fractal", out)
    elif kind == "txt":
        text = "".join("Line %d.%d: le café coûte 3 € à Zürich, déjà vu.\r\n" % (seed, i) for i in range(300))
        with open(out, "w", encoding="utf-8") as f:
            f.write(text)
    elif kind == "zip":
        a = make_path("txt", work, seed + 100000)
        b = make_path("png", work, seed + 200000)
        run("zip", "-q", "-X", "-j", out, a, b)
    elif kind == "gz":
        src = make_path("bmp", work, seed + 300000)
        with open(out, "wb") as f:
            f.write(run("gzip", "-c", "-n", src).stdout)
    elif kind in ("wav", "mp3"):
        wav = os.path.join(work, "sample-%d.wav" % seed)
        run("sox", "-n", "-r", "8000", "-c", "1", "-b", "16", wav, "synth", "2", "sine", str(200 + seed % 500))
        if kind == "mp3":
            run("lame", "--quiet", "-b", "64", wav, out)
    return out


def outputs(outdir):
    """{relative path: bytes} of every file below outdir."""
    found = {}
    for root, _, files in os.walk(outdir):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, outdir)] = f.read()
    return found


def recover(kov, image, outdir, *flags):
    p = subprocess.run([kov, *flags, image, outdir], env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if p.returncode != 0:
        sys.exit("kov-recover failed: %s" % p.stderr.decode(errors="replace"))
    return p.stderr.decode(errors="replace").strip().splitlines()[-1]


def pct(a, b):
    return "%d / %d = %.1f %%" % (a, b, 100.0 * a / b if b else 0.0)


def holes(kov, work):
    image = os.path.join(work, "holes.img")
    mkfs(image, 96 << 20, 1)
    kinds = ["jpg", "png", "gif", "bmp", "zip", "gz", "wav", "mp3", "txt"]
    prefixes = ["Small file", "Résumé été", "日本語のメモ", "Ünïcødé ☃"]
    deleted = {}
    local = os.path.join(work, "local")
    for i in range(300):
        kind = kinds[i % len(kinds)]
        data = make_file(kind, work, i)
        name = "%s %03d.%s" % (prefixes[i % len(prefixes)], i, kind)
        with open(local, "wb") as f:
            f.write(data)
        mcopy(image, local, name)
        if i % 2:
            deleted[name] = data
    mdel(image, *deleted)
    reset_hint(image)
    for i in range(16):
        data = make_file("bigbmp", work, 1000 + i)  # spans several holes
        name = "Large file %02d.bmp" % i
        with open(local, "wb") as f:
            f.write(data)
        mcopy(image, local, name)
        if i % 3 == 0:
            deleted[name] = data
    mdel(image, *[n for n in deleted if n.startswith("Large")])

    against(kov, image, work, "--original-names")
    out = os.path.join(work, "holes-out")
    summary = recover(kov, image, out, "--verify", "--original-names")
    found = outputs(out)
    wrong = caught = rightdamaged = named = 0
    backs = len(found)  # only deleted files are saved
    for path, data in found.items():
        indamaged = path.startswith("damaged/")
        name = path[len("damaged/"):] if indamaged else path
        if name not in deleted:
            continue
        named += 1
        if data == deleted[name]:
            rightdamaged += indamaged
            if indamaged and os.environ.get("VERBOSE"):
                print("  right but damaged: " + name)
        else:
            wrong += 1
            caught += indamaged
    print("holes volume (FAT32, 512 B clusters): %d deleted files, all with long names" % len(deleted))
    print("  " + summary)
    print("  wrong outputs caught in damaged/:     " + pct(caught, wrong) + "   (target >= 60 %)")
    print("  right outputs in damaged/:            %d   (target 0)" % rightdamaged)
    print("  deleted files back under long names:  " + pct(named, backs) + "   (target >= 95 %)")
    print("  deleted files back at all:            " + pct(backs, len(deleted)))
    return caught * 100 >= 60 * wrong and rightdamaged == 0 and named * 100 >= 95 * backs


def fat_chain_free(image, start, count):
    with open(image, "rb") as f:
        boot = f.read(512)
        bps, spc, rsv = struct.unpack_from("<HBH", boot, 11)
        f.seek(rsv * bps + 4 * start)
        entries = struct.unpack("<%dI" % count, f.read(4 * count))
    return all(e & 0x0FFFFFFF == 0 for e in entries), bps * spc


def deleted_photo_entries(image, erase_high):
    """{"IMG_nnnn.JPG": start cluster} of the deleted photo entries; with
    erase_high, zeroes bytes 20-21 of every deleted photo and video entry."""
    starts = {}
    with open(image, "r+b") as f:
        img = bytearray(f.read())
        for at in range(0, len(img) - 32, 32):
            e = img[at: at + 32]
            if e[0] != 0xE5 or e[11] == 0x0F or e[8:11] not in (b"JPG", b"MOV") or e[1:3] not in (b"MG", b"VI"):
                continue
            if e[8:11] == b"JPG":
                starts["I" + e[1:8].decode() + ".JPG"] = struct.unpack_from("<H", e, 20)[0] << 16 | struct.unpack_from("<H", e, 26)[0]
            if erase_high:
                img[at + 20: at + 22] = b"\0\0"
        if erase_high:
            f.seek(0)
            f.write(img)
    return starts


def camera(kov, work):
    image = os.path.join(work, "camera.img")
    mkfs(image, 512 << 20, 2)
    run("mmd", "-i", image, "::DCIM", "::KEEP")
    local = os.path.join(work, "local")
    rng = random.Random(4)
    photos = {}  # deleted short name -> bytes
    when = 1656000000  # 2022-06-23
    videos = []
    for i in range(1, 101):
        data = make_file("jpg", work, 5000 + i)
        name = "IMG_%04d.JPG" % i
        with open(local, "wb") as f:
            f.write(data)
        os.utime(local, (when + 60 * i, when + 60 * i))
        mcopy(image, local, "DCIM/" + name, keep_mtime=True)
        photos[name] = data
        with open(local, "wb") as f:
            f.write(rng.randbytes(rng.randint(1, 3) << 20))
        if i % 3:
            videos.append("DCIM/MVI_%04d.MOV" % i)
            mcopy(image, local, videos[-1])
        else:
            mcopy(image, local, "KEEP/FILL%04d.DAT" % i)
    mdel(image, *videos)
    mdel(image, *["DCIM/" + n for n in photos])
    # As Windows deletes: the high start words of the deleted entries go.
    starts = deleted_photo_entries(image, erase_high=True)
    # New pictures taken after the deletion, over the first free clusters.
    reset_hint(image)
    for i in range(5):
        with open(local, "wb") as f:
            f.write(rng.randbytes(600 << 10))
        mcopy(image, local, "DCIM/NEW_%04d.JPG" % i)

    # Their slots went to the new files: those photos have no entry left.
    kept = deleted_photo_entries(image, erase_high=False)

    against(kov, image, work)
    out = os.path.join(work, "camera-out")
    summary = recover(kov, image, out, "--verify")
    found = outputs(out)
    intact = back = 0
    highs = set()
    for name, data in photos.items():
        if name not in kept:
            continue
        clusterbytes = fat_chain_free(image, starts[name], 1)[1]
        free, _ = fat_chain_free(image, starts[name], (len(data) + clusterbytes - 1) // clusterbytes)
        highs.add(starts[name] >> 16)
        if not free:
            continue
        intact += 1
        back += found.get("k" + name[1:]) == data
        if found.get("k" + name[1:]) != data and os.environ.get("VERBOSE"):
            print("  intact photo not back: %s start %d" % (name, starts[name]))
    print("camera card (FAT32, 1 KiB clusters, high words %s): %d photos deleted with erased high words"
          % (",".join(str(h) for h in sorted(highs)), len(photos)))
    print("  " + summary)
    print("  intact photos back verified and right: " + pct(back, intact) + "   (target all)")
    print("  photos written over after deletion:    %d (entry reused: %d)" % (len(photos) - intact, len(photos) - len(kept)))
    return back == intact


def main():
    global AGAINST
    args = sys.argv[1:]
    if "--against" in args:
        at = args.index("--against")
        if at + 1 >= len(args):
            sys.exit(__doc__)
        AGAINST = os.path.abspath(args[at + 1])
        del args[at: at + 2]
    if len(args) not in (1, 2):
        sys.exit(__doc__)
    kov = os.path.abspath(args[0])
    work = args[1] if len(args) == 2 else tempfile.mkdtemp(prefix="kov-verify-", dir="/dev/shm")
    os.makedirs(work, exist_ok=True)
    try:
        ok = holes(kov, work)
        print()
        ok = camera(kov, work) and ok
    finally:
        if len(args) == 1:
            shutil.rmtree(work)
    print()
    print("targets: %s" % ("met" if ok else "MISSED"))


if __name__ == "__main__":
    main()
