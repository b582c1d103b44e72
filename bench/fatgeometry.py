"""Where a FAT32 image made by mkfs.fat keeps its tables and its data, read
from its boot sector (bytes per sector, reserved sectors, FAT count, sectors
per FAT)."""
import struct


def geometry(image):
    """(data start, first FAT's start, one FAT's size), in bytes."""
    with open(image, "rb") as f:
        b = f.read(512)
    bps, = struct.unpack_from("<H", b, 11)
    reserved, = struct.unpack_from("<H", b, 14)
    perfat, = struct.unpack_from("<I", b, 36)
    return (reserved + b[16] * perfat) * bps, reserved * bps, perfat * bps
