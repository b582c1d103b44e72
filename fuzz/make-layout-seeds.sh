#!/bin/sh
# Makes the layout search's seed corpus in DIR from the recovery seeds
# (make-seeds.sh): each FAT image without its limits header, as it is and
# with its first 16 KiB (boot sector, FATs, most of a small FAT16 root)
# zeroed.
#   make-layout-seeds.sh DIR PATH-TO-fuzz_seeds
set -eu
out=$1
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$(dirname "$0")/make-seeds.sh" "$work/seeds" "$2" >/dev/null
for seed in "$work"/seeds/c-*; do
    name=$(basename "$seed" | sed 's/^c-//')
    tail -c +4 "$seed" > "$out/$name"
    cp "$out/$name" "$out/zeroed-$name"
    dd if=/dev/zero of="$out/zeroed-$name" bs=16K count=1 conv=notrunc status=none
done
