#!/usr/bin/env python3
"""Time and peak memory of kov-recover --deep --carve on hostile volumes.

  bench/carve-hostile.py KOV_RECOVER

Each volume is a 64 MiB FAT32 image (mkfs.fat, 512-byte clusters) whose
data area holds, at every cluster start, the opening of a file that never
ends or never checks out:
- jpeg: SOI and a DQT segment, then segments that run on without an EOI;
- zip: local file headers whose sizes point past the volume;
- pdf: "%PDF-1.4" and then "%%EOF" lines to the end of the cluster;
- png: the signature and an IHDR chunk with a wrong CRC;
- jpegzip: every 32nd cluster a small photo (ImageMagick) with a ZIP (zip)
  appended whose end record is gone, so that the search for it runs on.
Prints wall time, peak RSS and what the summary says, and that nothing was
written below lost/carved (jpegzip: the one photo, the others equal to it).
"""
import os
import re
import struct
import subprocess
import sys
import tempfile

CLUSTER = 512
SIZE = 64 << 20


def photowithzip(work):
    photo, text, archive = (os.path.join(work, n) for n in ("p.jpg", "h.txt", "h.zip"))
    subprocess.run(["convert", "-size", "32x32", "plasma:fractal", photo], check=True)
    with open(text, "w") as f:
        f.write("hello\n")
    subprocess.run(["zip", "-q", "-X", "-j", archive, text], check=True)
    with open(photo, "rb") as a, open(archive, "rb") as b:
        return (a.read() + b.read()[:-22]).ljust(32 * CLUSTER, b"\x00")


def filler(kind, work):
    if kind == "jpegzip":
        return photowithzip(work)
    if kind == "jpeg":
        seg = b"\xff\xfe" + struct.pack(">H", CLUSTER - 8) + b"\x00" * (CLUSTER - 8)
        return (b"\xff\xd8\xff\xdb\x00\x43" + b"\x01" * 65 + seg)[:CLUSTER]
    if kind == "zip":
        head = b"PK\x03\x04" + struct.pack("<HHHHHIIIHH", 20, 0, 0, 0, 0, 0, 0xFFFFFFF0, 0xFFFFFFF0, 4, 0) + b"a.txt"
        return head.ljust(CLUSTER, b"\x00")
    if kind == "pdf":
        return (b"%PDF-1.4\n" + b"%%EOF\n" * CLUSTER)[:CLUSTER]
    return (b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + b"IHDR" + struct.pack(">IIBBBBB", 64, 64, 8, 2, 0, 0, 0) +
            b"\xde\xad\xbe\xef").ljust(CLUSTER, b"\x00")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    binary = sys.argv[1]
    for kind in ("jpeg", "zip", "pdf", "png", "jpegzip"):
        with tempfile.TemporaryDirectory() as work:
            image, out = os.path.join(work, "card.img"), os.path.join(work, "out")
            with open(image, "wb") as f:
                f.truncate(SIZE)
            subprocess.run(["mkfs.fat", "-F", "32", "-s", "1", image], check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            with open(image, "rb") as f:
                boot = f.read(512)
            reserved, fats, perfat = struct.unpack_from("<H", boot, 14)[0], boot[16], struct.unpack_from("<I", boot, 36)[0]
            data = (reserved + fats * perfat) * 512
            block = filler(kind, work)
            with open(image, "r+b") as f:
                # The root's cluster (2) stays a directory.
                f.seek(data + CLUSTER)
                f.write(block * ((SIZE - data) // len(block) - 1))
            run = subprocess.run(["/usr/bin/time", "-f", "%e s %M KiB", binary, "--deep", "--carve", image, out],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            err = run.stderr.decode(errors="replace")
            cost = err.strip().splitlines()[-1]
            summary = " ".join(l for l in err.splitlines() if "carving:" in l and "clusters read" in l)
            written = sum(len(n) for _, _, n in os.walk(os.path.join(out, "lost", "carved")))
            print(f"{kind}: exit {run.returncode}, {cost}, {written} carved written; {re.sub(r'.*carving: ', '', summary)}")


if __name__ == "__main__":
    main()
