#!/usr/bin/env python3
"""Writes a disk image whose partition table holds many FAT volumes.

    hostiletable.py IMAGE BOOTSECTOR KIND COUNT

BOOTSECTOR is the first 512 bytes of a volume made by mkfs.fat; a copy of
it stands at the start of every partition, so that every entry is a FAT
volume of that type.

KIND:
  overlap   GPT, COUNT entries starting one sector apart, each running to
            the last usable sector: every pair overlaps.
  repeat    GPT, COUNT entries with the same start and size.
  logical   MBR, one extended partition holding a chain of COUNT EBRs, each
            followed by its logical partition, which runs to the end of the
            extended one: every pair of logicals overlaps.
"""
import struct
import sys
import uuid
import zlib

SECTOR = 512
BASIC_DATA = uuid.UUID("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7").bytes_le


def gptheader(current, backup, first, last, disk, entrieslba, count, arraycrc):
    fields = struct.pack("<8sIIIIQQQQ16sQIII", b"EFI PART", 0x00010000, 92, 0, 0, current, backup, first,
                         last, disk, entrieslba, count, 128, arraycrc)
    crc = zlib.crc32(fields)
    return (fields[:16] + struct.pack("<I", crc) + fields[20:]).ljust(SECTOR, b"\0")


def protectivembr(sectors):
    mbr = bytearray(SECTOR)
    mbr[446:462] = struct.pack("<B3sB3sII", 0, b"\0\2\0", 0xEE, b"\xff\xff\xff", 1, min(sectors - 1, 0xFFFFFFFF))
    mbr[510:512] = b"\x55\xaa"
    return bytes(mbr)


def gpt(image, boot, count, repeat):
    arraysectors = (count * 128 + SECTOR - 1) // SECTOR
    first = 2 + arraysectors
    sectors = first + count + 2048 + arraysectors + 1
    last = sectors - 2 - arraysectors
    entries = bytearray()
    for i in range(count):
        start = first if repeat else first + i
        entries += BASIC_DATA + uuid.UUID(int=i + 1).bytes_le + struct.pack("<QQQ", start, last, 0)
        entries += ("P%d" % (i + 1)).encode("utf-16-le").ljust(72, b"\0")
    entries = bytes(entries).ljust(arraysectors * SECTOR, b"\0")
    arraycrc = zlib.crc32(entries[:count * 128])
    disk = uuid.UUID(int=0x4B4F56).bytes_le
    with open(image, "wb") as f:
        f.truncate(sectors * SECTOR)
        f.write(protectivembr(sectors))
        f.write(gptheader(1, sectors - 1, first, last, disk, 2, count, arraycrc))
        f.write(entries)
        for i in range(1 if repeat else count):
            f.seek((first + i) * SECTOR)
            f.write(boot)
        f.seek((last + 1) * SECTOR)
        f.write(entries)
        f.write(gptheader(sectors - 1, 1, first, last, disk, last + 1, count, arraycrc))


def mbrentry(kind, start, size):
    return struct.pack("<B3sB3sII", 0, b"\0\0\0", kind, b"\0\0\0", start, size)


def logical(image, boot, count):
    # EBR k at sector 2048 + 2k, its logical partition at the next sector.
    first = 2048
    extsize = 2 * count + 2048
    sectors = first + extsize
    with open(image, "wb") as f:
        f.truncate(sectors * SECTOR)
        mbr = bytearray(SECTOR)
        mbr[446:462] = mbrentry(0x05, first, extsize)
        mbr[510:512] = b"\x55\xaa"
        f.write(mbr)
        for k in range(count):
            here = first + 2 * k
            ebr = bytearray(SECTOR)
            ebr[446:462] = mbrentry(0x0C, 1, extsize - 2 * k - 1)
            if k + 1 < count:
                ebr[462:478] = mbrentry(0x05, 2 * (k + 1), 2)
            ebr[510:512] = b"\x55\xaa"
            f.seek(here * SECTOR)
            f.write(ebr)
            f.write(boot)


def main():
    if len(sys.argv) != 5 or sys.argv[3] not in ("overlap", "repeat", "logical"):
        sys.exit(__doc__)
    image, bootpath, kind, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    with open(bootpath, "rb") as f:
        boot = f.read(SECTOR)
    if kind == "logical":
        logical(image, boot, count)
    else:
        gpt(image, boot, count, kind == "repeat")


if __name__ == "__main__":
    main()
