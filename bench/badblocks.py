#!/usr/bin/env python3
"""A card with unreadable sectors and a card reader's speed, for benches.

kov_badblocks (built with the tests) serves an image read-only through FUSE;
a read-only loop device on it is a real block device whose bad 512-byte
sectors fail with EIO and whose reads are paced (tests/support/badblockdevice.h
says how it is made and why). Root only.

As a module:
    with BadBlocks(build, image, bad=[(3003, 3003), (5000, 5015)], pace=90_000_000) as card:
        subprocess.run([kov, card.device, out])
        card.counts()   # reads, bytes, failed, largest; asked {sector: requests}

As a command: runs COMMAND with every "{dev}" in it replaced by the device,
then prints the counters on stderr:
    bench/badblocks.py BUILD IMAGE [--bad FIRST[-LAST][,...]]... [--pace N[k|M|G]] -- COMMAND...
"""
import ctypes
import os
import select
import subprocess
import sys
import tempfile

# The largest request FUSE sends the server; the loop's own default (1280
# KiB) would reach it as two.
FUSE_MAX_KB = "1024"


def _pdeathsig():
    # The server ends, and so unmounts, when the bench does, however.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, 15)


def parsepace(text):
    scale = {"k": 1000, "M": 1000 ** 2, "G": 1000 ** 3}.get(text[-1:], 1)
    return int(text[:-1] if scale != 1 else text) * scale


def parsebad(text):
    out = []
    for item in text.split(","):
        first, _, last = item.partition("-")
        out.append((int(first), int(last or first)))
    return out


class BadBlocks:
    def __init__(self, build, image, bad=(), pace=0):
        self.server = os.path.join(build, "tests", "kov_badblocks")
        self.image, self.bad, self.pace = image, list(bad), pace
        self.mount = self.device = self.proc = self.oldmaxkb = None

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _maxkb(self):
        return "/sys/block/%s/queue/max_sectors_kb" % os.path.basename(self.device)

    def _start(self):
        self.mount = tempfile.mkdtemp(prefix="kovbadblocks-")
        args = [self.server]
        for first, last in self.bad:
            args += ["--bad", "%d-%d" % (first, last)]
        if self.pace:
            args += ["--pace", str(self.pace)]
        self.proc = subprocess.Popen(args + [self.image, self.mount], stdout=subprocess.PIPE,
                                     preexec_fn=_pdeathsig)
        ready, _, _ = select.select([self.proc.stdout], [], [], 10)
        if not ready or self.proc.stdout.readline().strip() != b"mounted":
            raise RuntimeError("kov_badblocks did not mount %s" % self.image)
        self.device = subprocess.run(["losetup", "-r", "-f", "--show", "--direct-io=on", "-b", "512",
                                      os.path.join(self.mount, "card")],
                                     check=True, capture_output=True, text=True).stdout.strip()
        with open(self._maxkb()) as f:
            self.oldmaxkb = f.read().strip()
        with open(self._maxkb(), "w") as f:
            f.write(FUSE_MAX_KB)

    def counts(self):
        """The server's counters now."""
        out = {"asked": {}}
        with open(os.path.join(self.mount, "stats")) as f:
            for line in f:
                field = line.split()
                if field[0] == "bad":
                    out["asked"][int(field[1])] = int(field[2])
                else:
                    out[field[0]] = int(field[1])
        return out

    def close(self):
        if self.device:
            if self.oldmaxkb:
                # Put back what the device had, while it is still ours.
                try:
                    with open(self._maxkb(), "w") as f:
                        f.write(self.oldmaxkb)
                except OSError as e:
                    print("badblocks: %s: %s" % (self._maxkb(), e), file=sys.stderr)
            subprocess.run(["losetup", "-d", self.device], check=False)
            self.device = None
        if self.proc:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc = None
        if self.mount:
            os.rmdir(self.mount)
            self.mount = None


def main(argv):
    if "--" not in argv or argv.index("--") < 2:
        sys.exit(__doc__)
    split = argv.index("--")
    options, command = argv[:split], argv[split + 1:]
    build, image, bad, pace = options[0], options[1], [], 0
    rest = options[2:]
    while rest:
        if rest[0] == "--bad" and len(rest) > 1:
            bad += parsebad(rest[1])
        elif rest[0] == "--pace" and len(rest) > 1:
            pace = parsepace(rest[1])
        else:
            sys.exit(__doc__)
        rest = rest[2:]
    with BadBlocks(build, image, bad, pace) as card:
        status = subprocess.run([word.replace("{dev}", card.device) for word in command]).returncode
        counts = card.counts()
    asked = counts.pop("asked")
    print(" ".join("%s %d" % item for item in sorted(counts.items())), file=sys.stderr)
    for sector, times in sorted(asked.items()):
        print("bad sector %d asked %d times" % (sector, times), file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
