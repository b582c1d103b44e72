#!/bin/sh
# Deep directory trees: makes a FAT32 image of each depth (deeptree.py) and
# times one full recovery of it with /usr/bin/time -v, which also gives the
# peak RSS. A run longer than the limit is stopped and reported as such.
#
#   bench/deeptree.sh KOV-RECOVER [LEVELS ...]    (default 1000 20000 100000)
#   LIMIT=seconds (default 600) bounds each run; WORK=dir (default a new
#   temporary directory) holds the images and outputs.
set -eu
bin=${1:?usage: deeptree.sh KOV-RECOVER [LEVELS ...]}
shift
[ $# -gt 0 ] || set -- 1000 20000 100000
here=$(cd "$(dirname "$0")" && pwd)
work=${WORK:-$(mktemp -d)}
limit=${LIMIT:-600}

printf '%-8s %-10s %-12s %s\n' levels wall 'peak RSS' saved
for levels in "$@"; do
    image=$work/deep$levels.img
    out=$work/out$levels
    [ -f "$image" ] || python3 "$here/deeptree.py" "$image" "$levels"
    rm -rf "$out"
    mkdir -p "$out"
    status=0
    timeout "$limit" /usr/bin/time -v -o "$work/time$levels" "$bin" "$image" "$out" 2>/dev/null || status=$?
    if [ "$status" -eq 124 ]; then
        printf '%-8s %-10s %-12s %s\n' "$levels" ">$limit s" - "stopped"
        continue
    fi
    wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time$levels")
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time$levels")
    printf '%-8s %-10s %-12s %s\n' "$levels" "$wall" "$rss KB" "$(ls "$out" | wc -l) file(s), exit $status"
done
