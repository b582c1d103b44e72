#!/bin/sh
# Hostile partition tables: many FAT32 entries that overlap or repeat
# (hostiletable.py), listed with `kov-recover --list-volumes` under
# /usr/bin/time -v. Prints wall time, peak RSS, stderr bytes and the count
# of volumes listed for each table.
#
#   bench/partition-notes.sh KOV-RECOVER [KIND:COUNT ...]
#   (default overlap:4000 repeat:4000 logical:4000)
#   LIMIT=seconds (default 600) bounds each run; WORK=dir (default a new
#   temporary directory) holds the images.
set -eu
bin=${1:?usage: partition-notes.sh KOV-RECOVER [KIND:COUNT ...]}
shift
[ $# -gt 0 ] || set -- overlap:4000 repeat:4000 logical:4000
here=$(cd "$(dirname "$0")" && pwd)
work=${WORK:-$(mktemp -d)}
limit=${LIMIT:-600}
export PATH="$PATH:/usr/sbin:/sbin"

truncate -s 40M "$work/fat32.img"
mkfs.fat -F 32 -s 1 -i 1234ABCD "$work/fat32.img" >/dev/null
head -c 512 "$work/fat32.img" > "$work/boot32"

printf '%-14s %-10s %-12s %-14s %s\n' table wall 'peak RSS' 'stderr bytes' volumes
for what in "$@"; do
    kind=${what%%:*}
    count=${what#*:}
    image=$work/$kind$count.img
    python3 "$here/hostiletable.py" "$image" "$work/boot32" "$kind" "$count"
    status=0
    timeout "$limit" /usr/bin/time -v -o "$work/time" "$bin" --list-volumes "$image" \
        >"$work/out" 2>"$work/err" || status=$?
    if [ "$status" -eq 124 ]; then
        printf '%-14s %-10s\n' "$what" ">$limit s"
        continue
    fi
    wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time")
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time")
    printf '%-14s %-10s %-12s %-14s %s\n' "$what" "$wall" "$((rss / 1024)) MiB" \
        "$(wc -c <"$work/err")" "$(wc -l <"$work/out")"
done
[ -n "${WORK:-}" ] || rm -rf "$work"
