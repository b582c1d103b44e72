#!/bin/sh
# Writes carving's seed corpus into OUT-DIR: every real file of the content
# checks' seeds (made by fuzz_verify_seeds) as a run of clusters, once with
# 512-byte and once with 4 KiB clusters (the first byte of an input picks
# the size, see fuzz_carve.cpp).
#   make-carve-seeds.sh OUT-DIR PATH-TO-fuzz_verify_seeds
set -eu
out=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
QT_QPA_PLATFORM=offscreen "$2" "$work/seeds" >/dev/null
mkdir -p "$out"
for file in "$work"/seeds/*/*; do
    name=$(basename "$(dirname "$file")")-$(basename "$file")
    { printf '\000'; cat "$file"; } >"$out/512-$name"
    { printf '\003'; cat "$file"; } >"$out/4096-$name"
done
