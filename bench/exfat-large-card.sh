#!/bin/sh
# kov-recover --deep --carve against photorec on a large exFAT camera card,
# in the same run: time, peak memory, and what each brings back.
#
#   bench/exfat-large-card.sh KOV_RECOVER [WORKDIR] [CACHE]
#
# A sparse 64 GiB image, mkfs.exfat with 128 KiB clusters, mounted with the
# exfat FUSE driver: 300 photos (JPEG) and 5 MP4 videos of 100-400 MiB
# (ffmpeg, H.264 over noise so that they do not compress away), some photos
# and one video deleted, the card quick-formatted (mkfs.exfat again) and 8
# new photos shot. The photos and videos are made once into CACHE
# (/work/benchcache/exfat-large-card). Each tool runs under /usr/bin/time -v
# with the page cache dropped first (root). Targets: kov-recover faster than
# photorec, peak RSS at most 128 MiB, every intact video back byte for byte.
set -eu
kov=$(realpath "$1")
work=${2:-$(mktemp -d)}
cache=${3:-/work/benchcache/exfat-large-card}
mkdir -p "$work" "$cache/photos" "$cache/videos"
work=$(realpath "$work")

# Videos: noise at a high bitrate, cut at a size by ffmpeg (-fs ends the
# file properly, the movie box last as a camera writes it).
sizes="104 160 220 286 371"
n=0
for mib in $sizes; do
    n=$((n + 1))
    v="$cache/videos/MOV$n.MP4"
    if [ ! -s "$v" ]; then
        nice ffmpeg -v error -f lavfi -i testsrc2=s=1280x720:r=30 -vf noise=alls=60:allf=t \
            -t 120 -fs $((mib << 20)) -c:v libx264 -preset ultrafast -b:v 50M -threads 1 -f mp4 -y "$v.tmp"
        mv "$v.tmp" "$v"
    fi
done
# Photos: 308 JPEGs of 1600x1200 noise over a test pattern, each its own
# (ffmpeg's JPEG encoder, one process: ImageMagick one at a time took
# minutes on a shared machine).
[ -s "$cache/photos/IMG_0308.JPG" ] || nice ffmpeg -v error -f lavfi -i testsrc2=s=1600x1200:r=1 \
    -vf noise=alls=30:allf=t -frames:v 308 -q:v 3 -threads 1 -y "$cache/photos/IMG_%04d.JPG"
[ "${MEDIA_ONLY:-}" = 1 ] && exit 0

cd "$work"
img=card.img
mnt=$work/mnt
mkdir -p "$mnt"
rm -f $img
truncate -s 64G $img
# The FUSE driver wants a block device: a loop device over the image.
mountcard() {
    dev=$(losetup -f --show $img)
    mount.exfat-fuse "$dev" "$mnt" >/dev/null
}
unmountcard() {
    umount "$mnt"
    # The driver writes its last blocks as it leaves.
    while pgrep -f "mount.exfat-fuse $dev" >/dev/null; do sleep 0.2; done
    losetup -d "$dev"
}
mkfs.exfat -c 128K $img >/dev/null
mountcard
mkdir -p "$mnt/DCIM/100CAMRA"
i=0
while [ $i -lt 300 ]; do
    i=$((i + 1))
    cp "$(printf '%s/photos/IMG_%04d.JPG' "$cache" $i)" "$mnt/DCIM/100CAMRA/"
    # A video after every 60 photos, as a camera's card mixes them.
    [ $((i % 60)) -eq 0 ] && cp "$cache/videos/MOV$((i / 60)).MP4" "$mnt/DCIM/100CAMRA/"
done
# Some deleted before the format: every tenth photo and the second video.
i=0
while [ $i -lt 300 ]; do
    i=$((i + 10))
    rm "$(printf '%s/DCIM/100CAMRA/IMG_%04d.JPG' "$mnt" $i)"
done
rm "$mnt/DCIM/100CAMRA/MOV2.MP4"
unmountcard
# The quick format, then 8 new photos over the first clusters.
mkfs.exfat -c 128K $img >/dev/null
mountcard
mkdir -p "$mnt/DCIM/100CAMRA"
i=300
while [ $i -lt 308 ]; do
    i=$((i + 1))
    cp "$(printf '%s/photos/IMG_%04d.JPG' "$cache" $i)" "$mnt/DCIM/100CAMRA/"
done
unmountcard
echo "card: $(du -h --apparent-size $img | cut -f1) image, $(du -h $img | cut -f1) allocated"

timed() {  # NAME COMMAND...
    name=$1; shift
    sync
    echo 3 >/proc/sys/vm/drop_caches
    /usr/bin/time -v "$@" >"$name.out" 2>"$name.err" || echo "$name: exit $?"
    echo "$name: $(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$name.err"), peak RSS $(($(sed -n 's/.*Maximum resident set size (kbytes): //p' "$name.err") / 1024)) MiB"
}
rm -rf kov photorec
timed kov "$kov" --deep --carve $img kov
mkdir photorec
timed photorec photorec /log /d "$work/photorec/rec" /cmd $img partition_none,options,mode_ext2,fileopt,everything,enable,search
grep -E 'carving:' kov.err || true

# What each brought back: a video is back when some file it wrote is byte
# for byte the original (cmp over those of its size), a photo when one has
# its CRC and size.
back() {  # DIR
    find "$1" -type f -exec cksum {} + | awk '{print $1 " " $2}' | sort -u
}
status=0
for tool in kov photorec; do
    back $tool >$tool.sums
    videos=0
    for v in "$cache"/videos/MOV*.MP4; do
        size=$(stat -c %s "$v")
        found=
        for f in $(find $tool -type f -size "${size}c"); do
            cmp -s "$f" "$v" && found=$f && break
        done
        if [ -n "$found" ]; then videos=$((videos + 1))
        else echo "$tool: $(basename "$v") ($size bytes) not back"; fi
    done
    photos=0
    i=0
    while [ $i -lt 308 ]; do
        i=$((i + 1))
        grep -qx "$(cksum <"$(printf '%s/photos/IMG_%04d.JPG' "$cache" $i)" | awk '{print $1 " " $2}')" $tool.sums &&
            photos=$((photos + 1))
    done
    echo "$tool: $videos of 5 videos, $photos of 308 photos back ($(find $tool -type f | wc -l) files written)"
    [ $tool = kov ] && [ $videos -ne 5 ] && status=1
done
rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' kov.err)
[ "$rss" -le $((128 * 1024)) ] || { echo "kov peak RSS above 128 MiB"; status=1; }
rm -f $img
exit $status
