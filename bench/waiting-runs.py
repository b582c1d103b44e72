#!/usr/bin/env python3
"""Deleted files that fail their check, waiting in thousands, in pieces.

  bench/waiting-runs.py KOV_RECOVER [WORKDIR] [--entries 2000] [--mib 16]

A FAT32 card of 2 GiB with 512-byte clusters, every other cluster past the
start marked bad, and ENTRIES deleted .JPG entries of MIB MiB each that all
begin at that start (which does not begin a JPEG): with --verify each fails
its check and waits, rebuilt in one-cluster pieces. Prints the peak
resident size and the time of `--list --verify` (listing, so that nothing
is written): what waits is held as runs within a bound, not one copy of
every file's runs.
"""
import argparse
import os
import resource
import struct
import subprocess
import sys
import tempfile
import time

ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", TZ="UTC")
START = 70001


def make(img, entries, size):
    if os.path.exists(img):
        os.remove(img)
    subprocess.run(["truncate", "-s", "2G", img], check=True)
    subprocess.run(["mkfs.fat", "-F", "32", "-s", "1", img], check=True, stdout=subprocess.DEVNULL)
    with tempfile.TemporaryDirectory() as d:
        names = []
        for i in range(entries):
            p = os.path.join(d, f"F{i:05d}.JPG")
            open(p, "wb").close()
            names.append(p)
        subprocess.run(["mmd", "-i", img, "::/D"], check=True, env=ENV)
        for k in range(0, entries, 500):
            subprocess.run(["mcopy", "-i", img] + names[k:k + 500] + ["::/D/"], check=True, env=ENV)
    with open(img, "r+b") as f:
        boot = f.read(512)
        bps, _, reserved, fats = struct.unpack_from("<HBHB", boot, 11)
        fatsectors = struct.unpack_from("<I", boot, 36)[0]
        clusters = size // 512 + 1
        bad = bytearray(8 * clusters)
        for j in range(0, len(bad), 8):
            struct.pack_into("<I", bad, j, 0x0FFFFFF7)
        for k in range(fats):
            f.seek((reserved + k * fatsectors) * bps + 4 * (START + 1))
            f.write(bad)
        # The empty files' entries (mtools puts them in the first clusters),
        # deleted and pointed at the start.
        f.seek(0)
        head = bytearray(f.read(64 << 20))
        found = 0
        for off in range(0, len(head), 32):
            e = head[off:off + 32]
            if e[0] == ord("F") and e[8:12] == b"JPG\x20" and e[1:6].isdigit():
                head[off] = 0xE5
                struct.pack_into("<H", head, off + 20, START >> 16)
                struct.pack_into("<H", head, off + 26, START & 0xFFFF)
                struct.pack_into("<I", head, off + 28, size)
                found += 1
        f.seek(0)
        f.write(head)
    if found != entries:
        sys.exit(f"{found} entries patched, {entries} made")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("kov")
    ap.add_argument("workdir", nargs="?")
    ap.add_argument("--entries", type=int, default=2000)
    ap.add_argument("--mib", type=int, default=16)
    a = ap.parse_args()
    work = a.workdir or tempfile.mkdtemp()
    img = os.path.join(work, "waiting-runs.img")
    make(img, a.entries, a.mib << 20)
    began = time.monotonic()
    run = subprocess.run([a.kov, "--list", "--verify", img], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.monotonic() - began
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    listed = run.stderr.decode(errors="replace").strip().splitlines()[-1:]
    print(f"{a.entries} entries of {a.mib} MiB: exit {run.returncode}, {wall:.1f} s, peak RSS {peak // 1024} MiB")
    print("\n".join(listed))


if __name__ == "__main__":
    main()
