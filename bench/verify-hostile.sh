#!/usr/bin/env bash
# The cost of the content check on the files of bench/verifyhostile.py (a
# huge baseline JPEG, progressive JPEGs with 1,000 repeated or 947 valid
# scans, a ZIP whose 10,000 entries share one range, a gzip bomb, a CRW that
# names one JPEG 60,000 times, TIFFs whose 256 IFDs share strip arrays) and on one
# sound 36-megapixel JPEG: verdict, wall and CPU time, peak memory of one
# kov_verifyfile process per file. The target: about 0.1 s per MiB of the
# file, at most 256 MiB.
#
#   bench/verify-hostile.sh
#
# Environment: BUILD=build-bench, OUT=bench/out (the files are kept in
# OUT/hostile and made again only when missing).
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
BUILD=${BUILD:-$repo/build-bench}
OUT=${OUT:-$repo/bench/out}
cmake -S "$repo" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKOV_BUILD_BENCH=ON -DKOV_BUILD_GUI=OFF \
  -DKOV_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target kov_verifyfile >/dev/null
files=$OUT/hostile
[[ -f $files/tiff-shifted-arrays.tif ]] || "$here/verifyhostile.py" "$files" >/dev/null
echo "kov_verifyfile, $(date -u '+%Y-%m-%d %H:%M UTC'), load $(cut -d' ' -f1-3 /proc/loadavg)"
for f in "$files"/*.jpg "$files"/*.zip "$files"/*.gz "$files"/*.crw "$files"/*.tif "$files"/work/big.jpg; do
  /usr/bin/time -f '%e s wall  %U+%S s cpu  %M KiB peak' -o "$files/time" "$BUILD/bench/kov_verifyfile" "$f" | tr -d '\n'
  echo "   $(tail -1 "$files/time")"
done
