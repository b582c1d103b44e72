#!/bin/sh
# Time and peak memory of kov-recover on a full 1 GiB exFAT card (4 KiB
# clusters) whose 2,000 deleted files lost their FAT chains: with 64
# clusters each they are rebuilt on the free clusters that follow; with
# 30,000 each (more than the card has free) every rebuild passes the
# whole heap and fails. Medians of 3.
#   bench/exfat-full.sh BUILD_DIR
set -eu
build=${1:?usage: bench/exfat-full.sh BUILD_DIR}
work=$(mktemp -d "${TMPDIR:-/dev/shm}/exfatfull.XXXXXX")
trap 'rm -rf "$work"' EXIT
for clusters in 64 30000; do
    truncate -s 1G "$work/card.img"
    mkfs.exfat -c 4096 "$work/card.img" >/dev/null
    "$build/tests/kov_exfatfull" "$work/card.img" 2000 "$clusters"
    : >"$work/times"
    for i in 1 2 3; do
        /usr/bin/time -o "$work/time" -f "%e %M" "$build/kov-recover" "$work/card.img" "$work/out" >/dev/null 2>&1
        cat "$work/time" >>"$work/times"
        saved=$(find "$work/out" -type f | wc -l)
        rm -rf "$work/out"
    done
    sort -n "$work/times" | sed -n 2p | {
        read -r seconds kib
        echo "$clusters clusters a file: $saved files saved, $seconds s, $kib KiB (median of 3)"
    }
    rm -f "$work/card.img"
done
