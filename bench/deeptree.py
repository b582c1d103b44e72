#!/usr/bin/env python3
"""Writes a FAT32 image whose directories nest LEVELS deep, one directory per
level, each a single 512-byte cluster holding ".", ".." and the next level.
The deepest directory also holds one deleted file of 100 bytes, so a full
recovery walks every level and saves exactly one file.

  deeptree.py OUT.img LEVELS
"""

import struct
import sys

SECTOR = 512
RESERVED = 32
FATS = 2
DATE = (2017 - 1980) << 9 | 1 << 5 | 1  # 2017-01-01
END = 0x0FFFFFFF


def entry(name11, attr, start, size=0):
    return (name11 + struct.pack("<BBBHHHHHHHI", attr, 0, 0, 0, DATE, DATE, start >> 16, 0, DATE,
                                 start & 0xFFFF, size))


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: deeptree.py OUT.img LEVELS")
    path, levels = sys.argv[1], int(sys.argv[2])
    # At least 65525 clusters, or FAT32 readers take it for FAT16.
    clusters = max(65600, levels + 64)
    fatsectors = ((clusters + 2) * 4 + SECTOR - 1) // SECTOR
    total = RESERVED + FATS * fatsectors + clusters
    data = (RESERVED + FATS * fatsectors) * SECTOR

    boot = bytearray(SECTOR)
    boot[0:3] = b"\xEB\x58\x90"
    boot[3:11] = b"MSWIN4.1"
    struct.pack_into("<HBHBHHBHHHII", boot, 11, SECTOR, 1, RESERVED, FATS, 0, 0, 0xF8, 0, 32, 64, 0, total)
    struct.pack_into("<IHHIHH", boot, 36, fatsectors, 0, 0, 2, 1, 6)
    struct.pack_into("<BBBI", boot, 64, 0x80, 0, 0x29, 0x1234ABCD)
    boot[71:82] = b"NO NAME    "
    boot[82:90] = b"FAT32   "
    boot[510:512] = b"\x55\xAA"

    fat = bytearray(fatsectors * SECTOR)
    struct.pack_into("<III", fat, 0, 0x0FFFFFF8, END, END)  # root: cluster 2
    for level in range(levels):
        struct.pack_into("<I", fat, (3 + level) * 4, END)

    with open(path, "wb") as out:
        out.truncate(total * SECTOR)
        out.write(boot)
        for copy in range(FATS):
            out.seek((RESERVED + copy * fatsectors) * SECTOR)
            out.write(fat)

        def cluster(n, slots):
            out.seek(data + (n - 2) * SECTOR)
            out.write(b"".join(slots))

        cluster(2, [entry(b"D          ", 0x10, 3)])
        for level in range(levels):
            here = 3 + level
            slots = [entry(b".          ", 0x10, here), entry(b"..         ", 0x10, here - 1 if level else 0)]
            if level + 1 < levels:
                slots.append(entry(b"D          ", 0x10, here + 1))
            else:
                gone = 3 + levels  # free in the FAT, its bytes still there
                slots.append(entry(b"\xE5EEP    BIN", 0x20, gone, 100))
                cluster(gone, [bytes(range(100))])
            cluster(here, slots)


if __name__ == "__main__":
    main()
