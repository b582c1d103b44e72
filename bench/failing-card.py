#!/usr/bin/env python3
"""A failing card: kov-recover --deep --carve --verify through a block device
with unreadable sectors, against the same device without them. Root only.

  bench/failing-card.py BUILD [--pace BYTES_PER_SECOND]

--pace serves the card at a card reader's speed (90000000 for a fast SD
card), so that the times compare what a user waits for, not the page cache.

A 512 MiB FAT32 card (mkfs.fat, 4 KiB clusters, mtools) with 100 files:
photos (ImageMagick), documents, two large files; 80 deleted. 13 bad
ranges: 8 inside deleted files, 4 inside live files, 16 sectors in the
second half of the first FAT. Served by kov_badblocks (bench/badblocks.py).
Targets, each printed with its figure:
- every clean deleted file exact, outside damaged/;
- every deleted file with unreadable sectors in damaged/, full size, equal
  to the original outside its bad sectors rounded out to 4 KiB, zero on them;
- no file outside damaged/ that is not a whole original;
- unreadable.map: every bad sector not finished, at most the bad ranges
  rounded out to 4 KiB bad;
- the run at most 2x the same run without bad sectors;
- each bad sector asked for at most 1 + retries (2) times;
- with --image (five runs with it and five without, in turn): the image equal
  to the card on every readable sector, its
  map's bad sectors those of unreadable.map, the run at most 1.1x the run
  without it.
"""
import hashlib
import os
import random
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from badblocks import BadBlocks  # noqa: E402

ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", TZ="UTC", LC_ALL="C.UTF-8")
PAGE = 4096


def run(*args):
    subprocess.run(args, check=True, env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def makecard(work, rnd):
    image = os.path.join(work, "card.img")
    with open(image, "wb") as f:
        f.truncate(512 << 20)
    run("mkfs.fat", "-F", "32", "-s", "8", "-i", "1234ABCD", image)
    files = {}
    words = [b"card", b"photo", b"sector", b"holiday", b"report", b"figure", b"table", b"summer"]
    for k in range(100):
        local = os.path.join(work, "f")
        if k < 60:
            name = "IMG_%04d.JPG" % k
            run("convert", "-seed", str(k), "-size", "%dx%d" % (rnd.randint(400, 1200), rnd.randint(300, 900)),
                "plasma:fractal", "-quality", "92", "jpg:" + local)
        elif k < 98:
            name = "DOC%03d.TXT" % k
            with open(local, "wb") as f:
                f.write(b" ".join(rnd.choice(words) for _ in range(rnd.randint(2000, 60000))) + b"\n")
        else:
            name = "BIG%d.BIN" % k
            with open(local, "wb") as f:
                f.write(rnd.randbytes(6 << 20))
        run("mcopy", "-i", image, local, "::/" + name)
        with open(local, "rb") as f:
            files[name] = f.read()
    names = sorted(files)
    rnd.shuffle(names)
    deleted = set(names[:80])
    for name in deleted:
        run("mdel", "-i", image, "::/" + name)
    return image, files, deleted


def where(card, data):
    at = card.find(data)
    assert at >= 0 and at % 512 == 0, "file not contiguous on the card"
    return at // 512


def badranges(card, files, deleted, rnd):
    """13 ranges (first, last sector): 8 in deleted files, 4 in live, 16 in the FAT."""
    bad, hit = [], {}
    big = sorted(files, key=lambda n: len(files[n]), reverse=True)
    dels = [n for n in big if n in deleted and len(files[n]) > 64 << 10][:8]
    lives = [n for n in big if n not in deleted and len(files[n]) > 64 << 10][:4]
    for name in dels + lives:
        start = where(card, files[name])
        sectors = len(files[name]) // 512
        count = rnd.choice((1, 2, 8, 32))
        first = start + rnd.randint(1, sectors - count - 1)
        bad.append((first, first + count - 1))
        hit[name] = (first - start, count)
    reserved = int.from_bytes(card[14:16], "little")
    fatsectors = int.from_bytes(card[36:40], "little")
    first = reserved + fatsectors // 2 + 3
    bad.append((first, first + 15))
    return bad, hit


def outputs(out):
    found = {}
    for root, _, names in os.walk(out):
        for n in names:
            path = os.path.join(root, n)
            with open(path, "rb") as f:
                found[os.path.relpath(path, out)] = f.read()
    return found


PACE = 0


def recover(build, image, bad, out, more=()):
    with BadBlocks(build, image, bad, pace=PACE) as card:
        began = time.monotonic()
        p = subprocess.run([os.path.join(build, "kov-recover"), "--deep", "--carve", "--verify", *more, card.device,
                            out], capture_output=True, text=True)
        took = time.monotonic() - began
        return p, took, card.counts()


def mapareas(path):
    areas, status = [], False
    for line in open(path):
        f = line.split()
        if not f or f[0].startswith("#"):
            continue
        if not status:
            status = True
            continue
        areas.append((int(f[0], 0), int(f[1], 0), f[2]))
    return areas


def main(argv):
    global PACE
    if len(argv) == 4 and argv[2] == "--pace":
        PACE = int(argv[3])
        argv = argv[:2]
    if len(argv) != 2:
        sys.exit(__doc__)
    build = os.path.abspath(argv[1])
    rnd = random.Random(30)
    with tempfile.TemporaryDirectory(prefix="kov-failing-") as work:
        image, files, deleted = makecard(work, rnd)
        with open(image, "rb") as f:
            card = f.read()
        bad, hit = badranges(card, files, deleted, rnd)
        clean, tclean, _ = recover(build, image, [], os.path.join(work, "clean"))
        p, tbad, counts = recover(build, image, bad, os.path.join(work, "bad"))
        out = os.path.join(work, "bad")
        got = outputs(out)
        whole = {hashlib.sha256(d).digest() for d in files.values()}
        outside = {k: v for k, v in got.items() if not k.startswith("damaged/") and not k.startswith("unreadable")}
        inside = {k: v for k, v in got.items() if k.startswith("damaged/")}
        outsidedigests = {hashlib.sha256(v).digest() for v in outside.values()}
        cleandel = [n for n in deleted if n not in hit]
        exact = sum(hashlib.sha256(files[n]).digest() in outsidedigests for n in cleandel)
        print("clean deleted files exact outside damaged/: %d of %d" % (exact, len(cleandel)))
        holed = 0
        for name in (n for n in hit if n in deleted):
            data, (at, count) = files[name], hit[name]
            lo, hi = at * 512 // PAGE * PAGE, -(-(at + count) * 512 // PAGE) * PAGE
            for v in inside.values():
                if (len(v) == len(data) and v[:lo] == data[:lo] and v[hi:] == data[hi:]
                        and v[at * 512:(at + count) * 512] == bytes(count * 512)):
                    holed += 1
                    break
        print("deleted files with bad sectors in damaged/, full size, exact around them: %d of %d"
              % (holed, sum(n in deleted for n in hit)))
        stray = [k for k, v in outside.items() if hashlib.sha256(v).digest() not in whole]
        print("files outside damaged/ that are no whole original: %d %s" % (len(stray), stray[:5]))
        maps = [k for k in got if k.startswith("unreadable")]
        if maps:
            areas = mapareas(os.path.join(out, maps[0]))
            notdone = set()
            badbytes = 0
            for pos, size, status in areas:
                if status != "+":
                    notdone.update(range(pos // 512, (pos + size) // 512))
                if status == "-":
                    badbytes += size
            allbad = [s for a, b in bad for s in range(a, b + 1)]
            rounded = set()
            for a, b in bad:
                rounded.update(range(a // 8 * 8, (b // 8 + 1) * 8))
            print("map: %d of %d bad sectors not finished; %d bytes bad, %d allowed (rounded to 4 KiB)"
                  % (sum(s in notdone for s in allbad), len(allbad), badbytes, len(rounded) * 512))
        else:
            print("map: none written")
        # The best of three of each, taken in turn, so that a busy machine blurs less.
        for k in range(2):
            tclean = min(tclean, recover(build, image, [], os.path.join(work, "clean%d" % k))[1])
            tbad = min(tbad, recover(build, image, bad, os.path.join(work, "bad%d" % k))[1])
        print("time: %.2f s with bad sectors, %.2f s without, best of 3 (%.2fx, target 2x)"
              % (tbad, tclean, tbad / tclean))
        asked = counts["asked"]
        print("bad sectors asked for: most %d times (target 2), %d sectors asked, %d failed requests"
              % (max(asked.values() or [0]), len(asked), counts["failed"]))
        print("last line: " + p.stderr.strip().splitlines()[-1] if p.stderr.strip() else "no output")
        # With and without the image in turn, five of each, so that both see the same machine.
        timage, tplain, ratios = float("inf"), float("inf"), []
        for k in range(5):
            copy = os.path.join(work, "copy%d.img" % k)
            pi, took, _ = recover(build, image, bad, os.path.join(work, "imaged%d" % k), ("--image", copy))
            plain = recover(build, image, bad, os.path.join(work, "plain%d" % k))[1]
            timage, tplain = min(timage, took), min(tplain, plain)
            ratios.append(took / plain)
        with open(copy, "rb") as f:
            imaged = f.read()
        badset = {s for a, b in bad for s in range(a, b + 1)}
        differ = sum(imaged[s * 512:(s + 1) * 512] != card[s * 512:(s + 1) * 512]
                     for s in range(len(card) // 512) if s not in badset)
        imagebad = [(pos, size) for pos, size, status in mapareas(copy + ".map") if status == "-"]
        runbad = [(pos, size) for pos, size, status in mapareas(os.path.join(out, maps[0])) if status == "-"] if maps else []
        print("--image: %d readable sectors differ from the card (status %d); map's bad areas %s the run's"
              % (differ, pi.returncode, "equal to" if imagebad == runbad else "differ from"))
        ratios.sort()
        print("time: %.2f s with --image, %.2f s without, best of 5 taken in turn (%.2fx, target 1.1x); "
              "pair by pair %s" % (timage, tplain, timage / tplain, " ".join("%.2f" % r for r in ratios)))


if __name__ == "__main__":
    main(sys.argv)
