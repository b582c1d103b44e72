#!/usr/bin/env python3
"""Writes FAT32 images that stress the deep scan's memory and the output
names, for bench/outputtree.sh.

  hostiletrees.py leaves OUT.img MIB     a MIB-MiB volume: a chain of 32
      deleted folders with 195-character long names, and every free cluster
      after them a leaf directory ("." itself, ".." the deepest folder)
  hostiletrees.py leaffiles OUT.img MIB  the same with every other free
      cluster a leaf directory, listing one FILE.TXT on the cluster after it
  hostiletrees.py chain OUT.img LEVELS   a chain of LEVELS deleted folders with
      255-character long names, one deleted file at the bottom

All use 512-byte clusters; a deleted folder records the size 1024, so that
the walk reads two clusters of it (room for a long name's slots).
  hostiletrees.py samename OUT.img N     one live folder holding N deleted
      files all named FILE.TXT (each one cluster of its own)
  hostiletrees.py orphans OUT.img N      N directory clusters that fit in no
      folder, each listing one live-looking FILE.TXT (the deep scan's
      lost/orphans/)
  hostiletrees.py damaged OUT.img N      N deleted files all named PHOTO.JPG in
      one live folder, none of them a JPEG (--verify's damaged/); their
      clusters lie past 65,535, so no high word is estimated and no second
      chance runs
"""

import struct
import sys

SECTOR = 512
RESERVED = 32
FATS = 2
DATE = (2017 - 1980) << 9 | 1 << 5 | 1  # 2017-01-01
END = 0x0FFFFFFF
LFNAT = (1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30)


def entry(name11, attr, start, size=0):
    return (name11 + struct.pack("<BBBHHHHHHHI", attr, 0, 0, 0, DATE, DATE, start >> 16, 0, DATE,
                                 start & 0xFFFF, size))


def checksum(name11):
    s = 0
    for c in name11:
        s = (((s & 1) << 7) + (s >> 1) + c) & 0xFF
    return s


def longslots(text, name11, deleted):
    """The long-name slots of text for name11, in directory order."""
    units = [ord(c) for c in text]
    if len(units) % 13:
        units += [0] + [0xFFFF] * (12 - len(units) % 13)
    parts = [units[i:i + 13] for i in range(0, len(units), 13)]
    out = []
    for n, part in enumerate(parts, 1):
        slot = bytearray(32)
        slot[0] = 0xE5 if deleted else (n | (0x40 if n == len(parts) else 0))
        slot[11] = 0x0F
        slot[13] = checksum(name11)
        for at, u in zip(LFNAT, part):
            struct.pack_into("<H", slot, at, u)
        out.append(bytes(slot))
    return list(reversed(out))


class Volume:
    def __init__(self, path, clusters, spc=1):
        self.clusterbytes = SECTOR * spc
        self.fatsectors = ((clusters + 2) * 4 + SECTOR - 1) // SECTOR
        total = RESERVED + FATS * self.fatsectors + clusters * spc
        self.data = (RESERVED + FATS * self.fatsectors) * SECTOR
        self.clusters = clusters
        self.fat = bytearray(self.fatsectors * SECTOR)
        struct.pack_into("<III", self.fat, 0, 0x0FFFFFF8, END, END)  # root: cluster 2
        boot = bytearray(SECTOR)
        boot[0:3] = b"\xEB\x58\x90"
        boot[3:11] = b"MSWIN4.1"
        struct.pack_into("<HBHBHHBHHHII", boot, 11, SECTOR, spc, RESERVED, FATS, 0, 0, 0xF8, 0, 32, 64, 0, total)
        struct.pack_into("<IHHIHH", boot, 36, self.fatsectors, 0, 0, 2, 1, 6)
        struct.pack_into("<BBBI", boot, 64, 0x80, 0, 0x29, 0x1234ABCD)
        boot[71:82] = b"NO NAME    "
        boot[82:90] = b"FAT32   "
        boot[510:512] = b"\x55\xAA"
        self.out = open(path, "wb")
        self.out.truncate(total * SECTOR)
        self.out.write(boot)

    def link(self, chain):
        for a, b in zip(chain, chain[1:] + [None]):
            struct.pack_into("<I", self.fat, a * 4, END if b is None else b)

    def write(self, cluster, data):
        self.out.seek(self.data + (cluster - 2) * self.clusterbytes)
        self.out.write(data)

    def close(self):
        for copy in range(FATS):
            self.out.seek((RESERVED + copy * self.fatsectors) * SECTOR)
            self.out.write(self.fat)
        self.out.close()


def folderchain(vol, first, levels, namelen):
    """Deleted folders at first, first+2, ... (two clusters each, which the
    recorded size 1024 gives them) each naming the next with a long name of
    namelen characters; returns the deepest folder's cluster."""
    name11 = b"\xE5OLDER     "
    # The root takes clusters 2 and 3: a long name of 255 characters needs
    # 21 slots.
    vol.link([2, 3])
    root = b"".join(longslots("a" * namelen, b"FOLDER     ", True)) + entry(name11, 0x10, first, 1024)
    vol.write(2, root)
    for level in range(levels):
        here = first + 2 * level
        slots = [entry(b".          ", 0x10, here), entry(b"..         ", 0x10, here - 2 if level else 0)]
        if level + 1 < levels:
            text = chr(ord("b") + level % 25) * namelen
            slots += longslots(text, b"FOLDER     ", True) + [entry(name11, 0x10, here + 2, 1024)]
        vol.write(here, b"".join(slots))
    return first + 2 * (levels - 1)


def leaves(path, mib, files=False):
    sectors = (mib << 20) // SECTOR - RESERVED
    clusters = sectors * SECTOR // (SECTOR + 2 * 4)
    vol = Volume(path, clusters)
    deepest = folderchain(vol, 4, 32, 195)
    leaf = entry(b"..         ", 0x10, deepest)
    step = 2 if files else 1
    for c in range(deepest + 2, clusters + 2 - step + 1, step):
        listing = entry(b".          ", 0x10, c) + leaf
        if files:
            listing += entry(b"FILE    TXT", 0x20, c + 1, 100)
            vol.write(c + 1, b"x" * 100)
        vol.write(c, listing)
    vol.close()


def chain(path, levels):
    vol = Volume(path, max(65600, 2 * levels + 64))
    deepest = folderchain(vol, 4, levels, 255)
    gone = deepest + 2
    vol.write(deepest, entry(b".          ", 0x10, deepest) + entry(b"..         ", 0x10, deepest - 1) +
              entry(b"\xE5EEP    BIN", 0x20, gone, 100))
    vol.write(gone, bytes(range(100)))
    vol.close()


def namedfiles(path, count, name11, contents, first=0):
    """A live folder DIR holding count deleted files name11, each on a
    cluster of its own from first on (0: right after the folder)."""
    dirclusters = ((count + 2) * 32 + SECTOR - 1) // SECTOR
    first = first or 3 + dirclusters
    vol = Volume(path, max(65600, first + count + 64))
    dirchain = list(range(3, 3 + dirclusters))
    vol.write(2, entry(b"DIR        ", 0x10, 3))
    vol.link(dirchain)
    table = [entry(b".          ", 0x10, 3), entry(b"..         ", 0x10, 0)]
    table += [entry(b"\xE5" + name11[1:], 0x20, first + i, len(contents)) for i in range(count)]
    blob = b"".join(table)
    for n, c in enumerate(dirchain):
        vol.write(c, blob[n * SECTOR:(n + 1) * SECTOR])
    for i in range(count):
        vol.write(first + i, contents)
    vol.close()


def orphans(path, count):
    vol = Volume(path, max(65600, 2 * count + 64))
    for i in range(count):
        here = 3 + 2 * i
        vol.write(here, entry(b"FILE    TXT", 0x20, here + 1, 100))
        vol.write(here + 1, b"x" * 100)
    vol.close()


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    mode, path, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if mode == "leaves":
        leaves(path, n)
    elif mode == "leaffiles":
        leaves(path, n, True)
    elif mode == "chain":
        chain(path, n)
    elif mode == "samename":
        namedfiles(path, n, b"FILE    TXT", b"x" * 100)
    elif mode == "orphans":
        orphans(path, n)
    elif mode == "damaged":
        namedfiles(path, n, b"PHOTO   JPG", b"not a photo" * 9, 0x10000)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
