#!/bin/sh
# Time and peak memory of kov-recover on sparse 1 GiB exFAT cards (4 KiB
# clusters) whose 20,000 entry sets each ask for far more work than their
# bytes (bench/exfathostile.cpp): deleted files claiming the whole heap
# (plain run), deleted folders found by the deep scan naming one
# 65,535-cluster chain one cluster short (--deep, and the plain run as the
# control), deleted files naming such a chain over free clusters (plain
# run). Medians of 3. KOV_RECOVER (default BUILD_DIR/kov-recover) is the
# binary timed; CARDs (MODE:RUN, e.g. shortchain:--deep) choose the cards.
#   bench/exfat-hostile.sh BUILD_DIR [KOV_RECOVER [CARD...]]
set -eu
build=${1:?usage: bench/exfat-hostile.sh BUILD_DIR [KOV_RECOVER [CARD...]]}
recover=${2:-$build/kov-recover}
[ $# -gt 2 ] && shift 2 || set -- wholeheap:plain shortchain:--deep shortchain:plain chainedfiles:plain
work=$(mktemp -d "${TMPDIR:-/dev/shm}/exfathostile.XXXXXX")
trap 'rm -rf "$work"' EXIT
for card in "$@"; do
    set -- $(echo "$card" | tr : ' ')
    truncate -s 1G "$work/card.img"
    mkfs.exfat -c 4096 "$work/card.img" >/dev/null
    "$build/tests/kov_exfathostile" "$work/card.img" "$1" 20000
    option=
    [ "$2" = --deep ] && option=--deep
    : >"$work/times"
    for i in 1 2 3; do
        # shellcheck disable=SC2086  # no option or one word
        /usr/bin/time -o "$work/time" -f "%e %M" "$recover" $option "$work/card.img" "$work/out" >/dev/null 2>&1 || true
        cat "$work/time" >>"$work/times"
        saved=$(find "$work/out" -type f 2>/dev/null | wc -l)
        rm -rf "$work/out"
    done
    sort -n "$work/times" | sed -n 2p | {
        read -r seconds kib
        echo "$1 ($2 run): $saved files saved, $seconds s, $kib KiB (median of 3)"
    }
    rm -f "$work/card.img"
done
