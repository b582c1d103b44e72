#!/usr/bin/env python3
"""Files that make a content check costly, written into DIR, each made from a
real file of its format (ImageMagick, jpegtran, zip, gzip) and then bent:

  jpeg-huge-baseline.jpg  a CMYK baseline JPEG whose frame header declares
                          65500 x 65500 pixels; the data ends after a few blocks
  jpeg-empty-scans.jpg    a progressive 4000 x 4000 JPEG of one colour whose
                          first AC scan is repeated 1,000 times
  jpeg-many-scans.jpg     a progressive 6000 x 6000 JPEG with 947 valid scans
                          (one per AC coefficient, component and bit, by jpegtran)
  zip-shared-range.zip    one deflated entry of 1 MB (empty stored blocks, then
                          3 KB of text) and 10,000 central-directory entries
                          that all point at it
  gzip-bomb.gz            1 GiB of zeros through gzip -9
  tiff-shared-arrays.tif  a chain of 256 IFDs that all name the same arrays of
                          2.5 million strips (each the same byte)
  tiff-shifted-arrays.tif the same, each IFD's arrays one element on from the
                          last one's (so that the arrays overlap)
  crw-shared-jpeg.crw     a CRW whose root heap names one 1600 x 1200 JPEG
                          (ImageMagick) 60,000 times as its JPEG from raw

  bench/verifyhostile.py DIR

bench/verify-hostile.sh times the content check on each.
"""

import os
import struct
import subprocess
import sys
import base64
import random


def run(*args, **kw):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, **kw).stdout


def segments(jpeg):
    """(marker, start, end) of each marker segment up to the first SOS, then
    of each scan (SOS header and entropy data) and the markers between."""
    out = []
    at = 2
    while at < len(jpeg):
        assert jpeg[at] == 0xFF
        marker = jpeg[at + 1]
        if marker == 0xD9:
            out.append((marker, at, at + 2))
            break
        length = struct.unpack_from(">H", jpeg, at + 2)[0]
        end = at + 2 + length
        if marker == 0xDA:  # entropy data to the next marker that is no RST or stuffing
            while not (jpeg[end] == 0xFF and jpeg[end + 1] not in (0x00,) and not 0xD0 <= jpeg[end + 1] <= 0xD7):
                end += 1
        out.append((marker, at, end))
        at = end
    return out


def huge_baseline(work, out):
    small = os.path.join(work, "cmyk.jpg")
    run("convert", "-size", "16x16", "xc:gray50", "-colorspace", "CMYK", "-strip", "-quality", "50", small)
    data = bytearray(open(small, "rb").read())
    for marker, start, _ in segments(bytes(data)):
        if marker == 0xC0:
            struct.pack_into(">HH", data, start + 5, 65500, 65500)
    open(out, "wb").write(data)


def empty_scans(work, out):
    flat = os.path.join(work, "flat.jpg")
    run("convert", "-size", "4000x4000", "xc:#806040", "-strip", "-quality", "75", flat)
    script = os.path.join(work, "acfirst.txt")
    open(script, "w").write("0,1,2: 0-0, 0, 0;\n0: 1-63, 0, 0;\n1: 1-63, 0, 0;\n2: 1-63, 0, 0;\n")
    data = run("jpegtran", "-optimize", "-scans", script, flat)
    parts = segments(data)
    scans = [i for i, p in enumerate(parts) if p[0] == 0xDA]
    # The second scan with the tables defined between it and the first.
    first_ac = scans[1]
    begin = parts[scans[0]][2]
    end = parts[first_ac][2]
    open(out, "wb").write(data[:end] + data[begin:end] * 1000 + data[end:])


def many_scans(work, out):
    big = os.path.join(work, "big.jpg")
    run("convert", "-seed", "3", "-size", "6000x6000", "plasma:fractal", "-blur", "0x2", "-strip",
        "-sampling-factor", "2x2,1x1,1x1", "-quality", "35", big)
    # One scan per AC coefficient, component and bit (5 bits each); jpegtran
    # takes 100 scans per script, so each run writes a share of them after
    # the same DC scans, and the shares are put together.
    acscans = [(c, k) for c in range(3) for k in range(1, 64)]
    dc = ["0,1,2: 0-0, 0, 1;", "0,1,2: 0-0, 1, 0;"]
    head = tail = None
    body = b""
    for share in range(0, len(acscans), 19):
        lines = [dc[0]]
        for c, k in acscans[share:share + 19]:
            lines.append("%d: %d-%d, 0, 4;" % (c, k, k))
            lines += ["%d: %d-%d, %d, %d;" % (c, k, k, al, al - 1) for al in range(4, 0, -1)]
        lines.append(dc[1])
        script = os.path.join(work, "share.txt")
        open(script, "w").write("\n".join(lines) + "\n")
        data = run("jpegtran", "-scans", script, big)
        parts = segments(data)
        scans = [i for i, p in enumerate(parts) if p[0] == 0xDA]
        if head is None:
            head = data[:parts[scans[0]][2]]
            tail = data[parts[scans[-2]][2]:parts[scans[-1]][2]] + b"\xff\xd9"
        for before, scan in zip(scans[:-2], scans[1:-1]):
            body += data[parts[before][2]:parts[scan][2]]
    open(out, "wb").write(head + body + tail)


def shared_range(work, out):
    # A 3 KB text deflated by zip; its deflate stream then gets 1 MB of
    # empty stored blocks in front (five bytes each), so that each entry
    # inflates 1 MB of input to its 3 KB, and 10,000 entries stay under any
    # cap on the total inflated size.
    text = os.path.join(work, "entry.txt")
    rnd = random.Random(18)
    open(text, "wb").write(base64.b64encode(bytes(rnd.getrandbits(8) for _ in range(2400))))
    archive = os.path.join(work, "one.zip")
    if os.path.exists(archive):
        os.remove(archive)
    run("zip", "-q", "-X", "-j", archive, text)
    data = open(archive, "rb").read()
    namelen, extralen = struct.unpack_from("<HH", data, 26)
    start = 30 + namelen + extralen
    csize = struct.unpack_from("<I", data, 18)[0]
    stream = b"\x00\x00\x00\xff\xff" * 200000 + data[start:start + csize]
    local = bytearray(data[:start])
    struct.pack_into("<I", local, 18, len(stream))
    eocd = data.rindex(b"PK\x05\x06")
    cdsize, cdoffset = struct.unpack_from("<II", data, eocd + 12)
    record = bytearray(data[cdoffset:cdoffset + cdsize])
    struct.pack_into("<I", record, 20, len(stream))
    count = 10000
    cd = bytes(record) * count
    newcd = len(local) + len(stream)
    end = bytearray(data[eocd:eocd + 22])
    struct.pack_into("<HHII", end, 8, count, count, len(cd), newcd)
    open(out, "wb").write(bytes(local) + stream + cd + bytes(end))


def gzip_bomb(out):
    with open(out, "wb") as f:
        zeros = subprocess.Popen(["head", "-c", str(1 << 30), "/dev/zero"], stdout=subprocess.PIPE)
        subprocess.run(["gzip", "-9", "-n", "-c"], stdin=zeros.stdout, stdout=f, check=True)
        zeros.wait()


def shared_jpeg(work, out):
    # The root heap: the JPEG, a raw data block, then the directory whose
    # entries all name the JPEG (tag 0x2007), and the directory's offset.
    jpeg = os.path.join(work, "crw.jpg")
    run("convert", "-seed", "5", "-size", "1600x1200", "plasma:fractal", "-quality", "92", jpeg)
    data = open(jpeg, "rb").read()
    heap = data + b"\0" * (len(data) % 2)
    raw = b"\x11" * 1000
    rawat = len(heap)
    heap += raw
    entries = [struct.pack("<HII", 0x2005, len(raw), rawat)] + [struct.pack("<HII", 0x2007, len(data), 0)] * 60000
    directory = len(heap)
    heap += struct.pack("<H", len(entries)) + b"".join(entries) + struct.pack("<I", directory)
    head = b"II" + struct.pack("<I", 26) + b"HEAPCCDR" + struct.pack("<I", 0x10002) + b"\0" * 8
    open(out, "wb").write(head + heap)


def strip_arrays(out, shift):
    # Each IFD: StripOffsets (LONG) and StripByteCounts (SHORT) arrays of n
    # values, all naming one byte after the arrays.
    n, ifds = 2500000, 256
    ifdlen = 2 + 2 * 12 + 4
    values = n + (ifds if shift else 0)
    offsets = 8 + ifdlen * ifds
    lengths = offsets + 4 * values
    strip = lengths + 2 * values
    d = bytearray(b"II*\0" + struct.pack("<I", 8))
    for k in range(ifds):
        nxt = 8 + (k + 1) * ifdlen if k + 1 < ifds else 0
        step = k if shift else 0
        d += struct.pack("<HHHIIHHII", 2, 273, 4, n, offsets + 4 * step, 279, 3, n, lengths + 2 * step)
        d += struct.pack("<I", nxt)
    d += struct.pack("<I", strip) * values + struct.pack("<H", 1) * values + b"\x55\x55"
    open(out, "wb").write(d)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    outdir = sys.argv[1]
    work = os.path.join(outdir, "work")
    os.makedirs(work, exist_ok=True)
    huge_baseline(work, os.path.join(outdir, "jpeg-huge-baseline.jpg"))
    empty_scans(work, os.path.join(outdir, "jpeg-empty-scans.jpg"))
    many_scans(work, os.path.join(outdir, "jpeg-many-scans.jpg"))
    shared_range(work, os.path.join(outdir, "zip-shared-range.zip"))
    gzip_bomb(os.path.join(outdir, "gzip-bomb.gz"))
    shared_jpeg(work, os.path.join(outdir, "crw-shared-jpeg.crw"))
    strip_arrays(os.path.join(outdir, "tiff-shared-arrays.tif"), False)
    strip_arrays(os.path.join(outdir, "tiff-shifted-arrays.tif"), True)
    for name in sorted(os.listdir(outdir)):
        path = os.path.join(outdir, name)
        if os.path.isfile(path):
            print("%-24s %9d bytes" % (name, os.path.getsize(path)))


if __name__ == "__main__":
    main()
