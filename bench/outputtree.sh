#!/bin/sh
# The deep scan's memory and the "(n)" name search on hostile volumes
# (hostiletrees.py): wall time and peak RSS (/usr/bin/time -v) of one run
# per case. A run longer than the limit is stopped and reported as such.
#
#   bench/outputtree.sh KOV-RECOVER [CASE ...]
#   CASE is MODE:N:OPTIONS, e.g. leaves:64:--deep or samename:8000: (the
#   default list covers both memory cases, plain and deep, and the name
#   search in a live folder, in lost/orphans/ and in damaged/).
#   LIMIT=seconds (default 600) bounds each run; WORK=dir (default a new
#   temporary directory) holds the images and outputs.
set -eu
bin=${1:?usage: outputtree.sh KOV-RECOVER [CASE ...]}
shift
[ $# -gt 0 ] || set -- leaves:64: leaves:64:--deep leaves:128:--deep chain:64000: chain:64000:--deep \
    samename:8000: samename:65535: orphans:65535:--deep damaged:65535:--verify
here=$(cd "$(dirname "$0")" && pwd)
work=${WORK:-$(mktemp -d)}
limit=${LIMIT:-600}

printf '%-28s %-10s %-12s %s\n' case wall 'peak RSS' result
for case in "$@"; do
    mode=${case%%:*}
    rest=${case#*:}
    n=${rest%%:*}
    opts=$(echo "${rest#*:}" | tr , ' ')
    image=$work/$mode$n.img
    out=$work/out
    [ -f "$image" ] || python3 "$here/hostiletrees.py" "$mode" "$image" "$n"
    rm -rf "$out"
    mkdir -p "$out"
    status=0
    # shellcheck disable=SC2086
    timeout "$limit" /usr/bin/time -v -o "$work/time" "$bin" $opts "$image" "$out" 2>"$work/err" || status=$?
    if [ "$status" -eq 124 ]; then
        printf '%-28s %-10s %-12s %s\n' "$case" ">$limit s" - "stopped"
        continue
    fi
    wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time")
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time")
    files=$(find "$out" -type f | wc -l)
    printf '%-28s %-10s %-12s %s\n' "$case" "$wall" "$rss KB" "$files file(s), exit $status"
done
