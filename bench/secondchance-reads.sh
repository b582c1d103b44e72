#!/usr/bin/env bash
# Bytes the second chance reads: a FAT32 volume with 512-byte clusters
# (high words 0-15), two deleted QuickTime clips of 5 and 7 MiB, each above
# a filler file, their start clusters' high words erased as Windows does.
# Each estimate lands in the filler (dropped), so both clips get a second
# chance over every free cluster with their low word. Prints the bytes
# kov-recover --verify passed through read calls (rchar of /proc/PID/io,
# page cache included) and how many read calls it made, and whether both
# clips came back whole.
#
#   bench/secondchance-reads.sh [KOV-RECOVER]   default: build/kov-recover
#
# Environment: SIZE=512 (volume MiB).
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
bin=${1:-$repo/build/kov-recover}
SIZE=${SIZE:-512}
work=$(mktemp -d /dev/shm/kovchance.XXXXXX)
trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1 SOURCE_DATE_EPOCH=1600000000

img=$work/card.img
truncate -s "${SIZE}M" "$img"
mkfs.fat -F 32 -s 1 -i 1234ABCD "$img" >/dev/null
for i in 1 2; do
  # 640x480 MJPEG: 150 frames of colour bars, 30 of noise (5 and 7 MiB).
  frames=$((i == 1 ? 150 : 30))
  gst-launch-1.0 -q videotestsrc num-buffers=$frames pattern=$((i - 1)) ! video/x-raw,width=640,height=480 \
    ! jpegenc quality=90 ! qtmux ! filesink location="$work/clip$i.mov"
  head -c $((40 << 20)) /dev/urandom >"$work/fill$i.bin"
  mcopy -i "$img" "$work/fill$i.bin" "::FILL$i.BIN"
  mcopy -i "$img" "$work/clip$i.mov" "::CLIP$i.MOV"
done
mdel -i "$img" ::CLIP1.MOV ::CLIP2.MOV
python3 - "$img" <<'EOF'
import sys
with open(sys.argv[1], "r+b") as f:
    data = bytearray(f.read())
    at = 0
    while True:
        at = data.find(b"\xe5LIP", at)
        if at < 0:
            break
        if at % 32 == 0 and data[at + 8:at + 11] == b"MOV":
            start = (data[at + 20] | data[at + 21] << 8) << 16 | data[at + 26] | data[at + 27] << 8
            print(f"  {data[at:at + 11].decode('latin-1')!r} start {start} (high word {start >> 16}) erased")
            data[at + 20:at + 22] = b"\0\0"
        at += 1
    f.seek(0)
    f.write(data)
EOF

sh -c '"$0" --verify "$1" "$2" >/dev/null 2>"$3"; grep -E "^(rchar|syscr)" /proc/$$/io' \
  "$bin" "$img" "$work/out" "$work/log" >"$work/io"
rchar=$(awk '/^rchar/ { print $2 }' "$work/io")
syscr=$(awk '/^syscr/ { print $2 }' "$work/io")
whole=0
for i in 1 2; do
  cmp -s "$work/clip$i.mov" "$work/out/kLIP$i.MOV" && whole=$((whole + 1))
done
sizes="$(stat -c %s "$work/clip1.mov") and $(stat -c %s "$work/clip2.mov")"
echo "kov-recover --verify, ${SIZE} MiB FAT32, 512-byte clusters, two clips of $sizes bytes"
echo "  read: $rchar bytes in $syscr read calls"
echo "  clips back whole: $whole of 2"
grep -E "chosen by content|files saved" "$work/log" | sed 's/^kov-recover: /  /; s|'"$work"'/||'
