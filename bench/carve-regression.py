#!/usr/bin/env python3
"""What --carve adds on volumes that are not shot-on cards.

  bench/carve-regression.py KOV_RECOVER IMAGE...

For each image and each of (nothing, --deep): runs kov-recover with and
without --carve and checks that carving changes nothing the other phases
save, that no carved file repeats the bytes of a file saved anyway, and
that --list --json calls every carved file verified or plausible (the
formats whose check cannot see a foreign cluster). Prints one line per
run and exits 1 when a check fails.
"""
import json
import os
import re
import subprocess
import sys
import tempfile

from filetree import digests


def kov(binary, args):
    return subprocess.run([binary] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    binary, images = sys.argv[1], sys.argv[2:]
    failed = False
    for image in images:
        for extra in ([], ["--deep"]):
            with tempfile.TemporaryDirectory() as work:
                plain, carved = os.path.join(work, "plain"), os.path.join(work, "carved")
                a = kov(binary, extra + [image, plain])
                b = kov(binary, extra + ["--carve", image, carved])
                listed = kov(binary, extra + ["--carve", "--list", "--json", image])
                before, after = digests(plain), digests(carved)
                # Carved below lost/, or below an earlier layout's tree.
                iscarved = re.compile(r"lost/(earlier-layout-[^/]+/)?carved/").match
                added = {p: d for p, d in after.items() if iscarved(p)}
                rest = {p: d for p, d in after.items() if not iscarved(p)}
                problems = []
                if a.returncode != b.returncode:
                    problems.append(f"exit {a.returncode} without --carve, {b.returncode} with")
                if rest != before:
                    problems.append("the other phases saved other files")
                repeats = [p for p, d in added.items() if d in set(before.values())]
                if repeats:
                    problems.append(f"{len(repeats)} carved files repeat a saved file")
                records = [json.loads(l) for l in listed.stdout.decode().splitlines() if l.strip()]
                unverified = [r for r in records if r.get("type") and r.get("verdict") not in ("verified", "plausible")]
                if unverified:
                    problems.append(f"{len(unverified)} carved records neither verified nor plausible")
                failed = failed or bool(problems)
                print(f"{os.path.basename(image)} {' '.join(extra) or '(plain)'}: {len(before)} saved, "
                      f"{len(added)} carved; " + ("; ".join(problems) if problems else "ok"))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
