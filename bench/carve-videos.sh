#!/bin/sh
# Peak memory of kov-recover --carve on a card whose videos are larger than
# the window carving holds in memory, and whether each comes back byte for
# byte.
#
#   bench/carve-videos.sh KOV_RECOVER [WORKDIR]
#
# A 1 GiB FAT32 card (4 KiB clusters) holds a ~285 MiB MP4 (H.264,
# GStreamer's openh264enc and mp4mux) and a ~190 MiB AVI (Motion JPEG,
# avimux), is quick-formatted (mkfs.fat again over the image), and is
# carved under /usr/bin/time -v. Target: peak RSS at most 128 MiB, both
# videos identical.
set -eu
kov=$(realpath "$1")
work=${2:-$(mktemp -d)}
mkdir -p "$work"
cd "$work"
export MTOOLS_SKIP_CHECK=1

video() {  # FRAMES ENCODER... -- OUT
    frames=$1; shift
    out=$1; shift
    [ -s "$out" ] || gst-launch-1.0 -q videotestsrc num-buffers="$frames" pattern=snow ! \
        video/x-raw,width=640,height=480,framerate=30/1 ! "$@" ! filesink location="$out"
}
video 2900 big.mp4 openh264enc bitrate=20000000 ! h264parse ! mp4mux
video 850 mid.avi jpegenc quality=90 ! avimux

rm -f card.img
truncate -s 1G card.img
mkfs.fat -F 32 -s 8 card.img >/dev/null
mcopy -i card.img big.mp4 ::/BIG.MP4
mcopy -i card.img mid.avi ::/MID.AVI
mkfs.fat -F 32 -s 8 -i 1234ABCD card.img >/dev/null

rm -rf out
/usr/bin/time -v "$kov" --carve card.img out 2>run.txt
grep -E 'carving:|Maximum resident|Elapsed' run.txt
status=0
for f in big.mp4 mid.avi; do
    ext=${f#*.}
    found=
    for c in out/lost/carved/"$ext"/*."$ext"; do
        [ -f "$c" ] && cmp -s "$c" "$f" && found=$c
    done
    if [ -n "$found" ]; then echo "$f ($(stat -c %s "$f") bytes): identical in $found"
    else echo "$f: not carved whole"; status=1; fi
done
rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' run.txt)
echo "peak RSS: $((rss / 1024)) MiB (target <= 128)"
[ "$rss" -le $((128 * 1024)) ] || status=1
exit $status
