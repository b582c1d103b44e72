#!/usr/bin/env python3
"""Photos written in pieces into the holes of a thinned-out card.

  bench/fragmented-card.py make IMAGE MANIFEST [--mib 320] [--photos 78]
                           [--photo-kib 1024-4096] [--delete-all] [--restart]
                           [--wipe-photo-entries] [--seed N]
  bench/fragmented-card.py score MANIFEST OUTDIR
  bench/fragmented-card.py bench KOV_RECOVER [WORKDIR] [--restart] [--wipe-photo-entries]

make: a FAT32 card (mkfs.fat, 4 KiB clusters; FAT16 below 260 MiB, where
FAT32 cannot have 4 KiB clusters) filled to about 95 % with small files of
256 B to 16 KiB (text, gzip, PNG) in folders of 200, every other one
deleted, the FSInfo next-free hint reset before each photo so that mtools
fills the holes from the first cluster on, the photos (ImageMagick JPEGs)
written into the holes in pieces and then deleted. --delete-all also
deletes every remaining small file (a camera's "delete all"). --restart
writes the photos with a restart marker after every MCU (jpegtran -restart
1B); --wipe-photo-entries blanks the photos' deleted
entries afterwards (first byte 0xE5, the rest zero), so that only carving
can find them. MANIFEST gets the SHA-256 of every file written, by kind.

score: of the photos, how many came back byte for byte outside damaged/;
of the small files (all that were deleted), how many came back byte for
byte anywhere; outputs outside damaged/ that equal no original.

bench: both 320 MiB cards (78 photos) made in WORKDIR (with --restart or
--wipe-photo-entries as make has them), each run with `--verify` and
`--deep --carve --verify`, timed (wall, and the CPU time of user and
system) and scored.
"""
import argparse
import gzip
import hashlib
import json
import os
import random
import resource
import struct
import subprocess
import sys
import tempfile
import time
import zlib

ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", TZ="UTC", LC_ALL="C.UTF-8", SOURCE_DATE_EPOCH="1600000000")
CLUSTER = 4096
WORDS = ("card shot photo light lens frame holiday beach mountain river city night street portrait "
         "family garden winter summer spring autumn morning evening cloud sun rain snow").split()


def run(*args):
    subprocess.run(args, check=True, env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def sha(data):
    return hashlib.sha256(data).hexdigest()


def png(rnd, size):
    """A real PNG of about size bytes: noise pixels, stored uncompressed."""
    side = max(2, int(((size - 80) / 3) ** 0.5))
    rows = b"".join(b"\0" + rnd.randbytes(side * 3) for _ in range(side))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows, 0)) + chunk(b"IEND", b""))


def text(rnd, size):
    out = []
    length = 0
    while length < size:
        line = " ".join(rnd.choice(WORDS) for _ in range(rnd.randint(4, 12))) + "\n"
        out.append(line)
        length += len(line)
    return "".join(out)[:size].encode()


def smallfile(rnd, k):
    size = rnd.randint(256, 16384)
    kind = k % 3
    if kind == 0:
        return "TXT", text(rnd, size)
    if kind == 1:
        # Half words, half noise: a gzip of about size bytes.
        return "GZ", gzip.compress(text(rnd, size // 2) + rnd.randbytes(size // 2), mtime=0)
    return "PNG", png(rnd, size)


def fsinfohint(image):
    with open(image, "r+b") as f:
        boot = f.read(512)
        if boot[22:24] != b"\0\0":
            return  # FAT16: mtools takes the lowest free clusters anyway
        sector = int.from_bytes(boot[11:13], "little")
        info = int.from_bytes(boot[48:50], "little")
        f.seek(info * sector + 488)
        f.write(b"\xff" * 8)  # free count and next free: unknown


def wipeentries(image, names):
    """Blanks the deleted short entries of names (8.3, upper case) wherever
    a directory holds them: 0xE5, then zeros, so the walk passes over them."""
    wanted = set()
    for n in names:
        stem, ext = n.split(".")
        wanted.add((stem.ljust(8) + ext.ljust(3)).encode()[1:])
    blank = b"\xe5" + bytes(31)
    with open(image, "r+b") as f:
        at = 0
        while True:
            block = f.read(1 << 20)
            if not block:
                break
            for o in range(0, len(block) - 31, 32):
                if block[o] == 0xE5 and block[o + 1:o + 11] in wanted:
                    f.seek(at + o)
                    f.write(blank)
            at += len(block)
            f.seek(at)


def photo(rnd, work, k, target, restart=False):
    """An ImageMagick JPEG of about target bytes, with restart markers if asked."""
    path = os.path.join(work, f"p{k}.jpg")
    pixels = target / 0.55
    for _ in range(3):
        w = max(64, int((pixels * 4 / 3) ** 0.5))
        h = max(48, w * 3 // 4)
        run("convert", "-seed", str(k), "-size", "160x120", "plasma:fractal", "-resize", f"{w}x{h}!",
            "-seed", str(k), "-attenuate", "0.5", "+noise", "Gaussian", "-quality", "92", path)
        if restart:
            # libjpeg-turbo's lossless rewrite: ImageMagick 6 ignores jpeg:restart-interval.
            run("jpegtran", "-restart", "1B", "-copy", "all", "-outfile", path + ".rst", path)
            os.replace(path + ".rst", path)
        got = os.path.getsize(path)
        if abs(got - target) < target // 20:
            break
        pixels *= target / got
    with open(path, "rb") as f:
        return f.read()


def make(args):
    rnd = random.Random(args.seed)
    image = args.image
    with open(image, "wb") as f:
        f.truncate(args.mib << 20)
    fat = "32" if args.mib >= 260 else "16"
    run("mkfs.fat", "-F", fat, "-s", "8", "-i", "1234ABCD", image)
    clusters = ((args.mib << 20) - (1 << 20)) // CLUSTER
    work = tempfile.mkdtemp(prefix="fragcard")
    manifest = {"photos": {}, "deleted": {}, "live": {}}
    used, k, folder = 0, 0, 0
    files = []
    while used < clusters * 0.95 - 300:
        ext, data = smallfile(rnd, k)
        name = f"D{folder:03d}/F{k:07d}.{ext}"
        files.append((name, data))
        used += -(-len(data) // CLUSTER)
        k += 1
        if len(files) % 200 == 0:
            folder += 1
    for start in range(0, len(files), 200):
        batch = files[start:start + 200]
        folder = batch[0][0].split("/")[0]
        run("mmd", "-i", image, "::/" + folder)
        local = []
        for name, data in batch:
            path = os.path.join(work, name.split("/")[1])
            with open(path, "wb") as f:
                f.write(data)
            local.append(path)
        run("mcopy", "-i", image, *local, "::/" + folder + "/")
        for path in local:
            os.unlink(path)
    gone = files[1::2]
    for start in range(0, len(gone), 400):
        run("mdel", "-i", image, *("::/" + n for n, _ in gone[start:start + 400]))
    gonenames = {n for n, _ in gone}
    for n, d in files:
        manifest["deleted" if n in gonenames else "live"][n] = sha(d)
    freed = clusters - used + sum(-(-len(d) // CLUSTER) for _, d in gone)
    low, high = (int(x) << 10 for x in args.photo_kib.split("-"))
    sizes = [rnd.randint(low, high) for _ in range(args.photos)]
    # Room for every photo, a tenth of the free clusters left over.
    room = freed * CLUSTER * 0.9
    if sum(sizes) > room:
        scale = room / sum(sizes)
        sizes = [max(low // 2, int(s * scale)) for s in sizes]
    fsinfohint(image)
    run("mmd", "-i", image, "::/DCIM")
    run("mmd", "-i", image, "::/DCIM/100CAMRA")
    for i, size in enumerate(sizes):
        data = photo(rnd, work, i + 1, size, args.restart)
        path = os.path.join(work, f"IMG_{i + 1:04d}.JPG")
        os.rename(os.path.join(work, f"p{i + 1}.jpg"), path)
        fsinfohint(image)
        run("mcopy", "-i", image, path, f"::/DCIM/100CAMRA/")
        os.unlink(path)
        manifest["photos"][f"DCIM/100CAMRA/IMG_{i + 1:04d}.JPG"] = sha(data)
    run("mdel", "-i", image, *(f"::/{p}" for p in manifest["photos"]))
    if args.wipe_photo_entries:
        wipeentries(image, [p.rsplit("/", 1)[1] for p in manifest["photos"]])
    if args.delete_all:
        live = list(manifest["live"])
        for start in range(0, len(live), 400):
            run("mdel", "-i", image, *("::/" + n for n in live[start:start + 400]))
        manifest["deleted"].update(manifest["live"])
        manifest["live"] = {}
    os.rmdir(work)
    with open(args.manifest, "w") as f:
        json.dump(manifest, f)
    print(f"{image}: FAT{fat}, {len(files)} small files ({len(gone)} deleted before the photos), "
          f"{len(sizes)} photos of {min(sizes) >> 10}-{max(sizes) >> 10} KiB, "
          f"{'all' if args.delete_all else 'photos'} deleted")


def digests(outdir):
    found = []
    for root, _, names in os.walk(outdir):
        for n in names:
            path = os.path.join(root, n)
            with open(path, "rb") as f:
                found.append((os.path.relpath(path, outdir), sha(f.read())))
    return found


def score(manifest, outdir):
    found = digests(outdir)
    good = {d for p, d in found if not p.startswith("damaged/")}
    anywhere = {d for _, d in found}
    photos = set(manifest["photos"].values())
    small = set(manifest["deleted"].values())
    known = photos | small | set(manifest["live"].values())
    junk = sum(1 for p, d in found if not p.startswith("damaged/") and d not in known)
    return {"photos": len(photos & good), "of": len(photos), "small": len(small & anywhere),
            "smallof": len(small), "junk": junk, "outputs": len(found)}


def bench(args):
    work = args.workdir or tempfile.mkdtemp(prefix="fragbench")
    kind = ("-restart" if args.restart else "") + ("-wiped" if args.wipe_photo_entries else "")
    for variant in ("photos", "delete-all"):
        image = os.path.join(work, f"{variant}{kind}.img")
        manifest = os.path.join(work, f"{variant}{kind}.json")
        if not os.path.exists(manifest):
            make(argparse.Namespace(image=image, manifest=manifest, mib=320, photos=78, photo_kib="1024-4096",
                                    delete_all=variant == "delete-all", restart=args.restart,
                                    wipe_photo_entries=args.wipe_photo_entries,
                                    seed=31))
        with open(manifest) as f:
            m = json.load(f)
        for options in (["--verify"], ["--deep", "--carve", "--verify"]):
            out = os.path.join(work, "out-" + variant + kind + "".join(options))
            subprocess.run(["rm", "-rf", out], check=True)
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            began = time.monotonic()
            subprocess.run([args.kov, *options, image, out], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            took = time.monotonic() - began
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
            s = score(m, out)
            print(f"{variant + kind:18s} {' '.join(options):24s} photos exact outside damaged/ {s['photos']}/{s['of']}, "
                  f"small files back {s['small']}/{s['smallof']}, junk outside damaged/ {s['junk']}, "
                  f"{took:.1f} s wall, {cpu:.1f} s CPU")


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="command", required=True)
    m = sub.add_parser("make")
    m.add_argument("image")
    m.add_argument("manifest")
    m.add_argument("--mib", type=int, default=320)
    m.add_argument("--photos", type=int, default=78)
    m.add_argument("--photo-kib", default="1024-4096")
    m.add_argument("--delete-all", action="store_true")
    m.add_argument("--restart", action="store_true")
    m.add_argument("--wipe-photo-entries", action="store_true")
    m.add_argument("--seed", type=int, default=31)
    s = sub.add_parser("score")
    s.add_argument("manifest")
    s.add_argument("outdir")
    b = sub.add_parser("bench")
    b.add_argument("kov")
    b.add_argument("workdir", nargs="?")
    b.add_argument("--restart", action="store_true")
    b.add_argument("--wipe-photo-entries", action="store_true")
    args = p.parse_args()
    if args.command == "make":
        make(args)
    elif args.command == "score":
        with open(args.manifest) as f:
            print(json.dumps(score(json.load(f), args.outdir)))
    else:
        bench(args)


if __name__ == "__main__":
    sys.exit(main())
