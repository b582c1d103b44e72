#!/bin/sh
# Makes the fuzz seed corpus in DIR: volumes formatted by mkfs.fat with files
# written and deleted by mtools (cut to their start, where everything written
# lies: small inputs keep the fuzzer fast), and the hand-made edge images of fuzz_seeds. Each image is
# written twice behind the fuzz target's limits header: once with the FAT
# cached ("c-"), once read entry by entry ("u-"); both with 32 saves of up to
# 4 MiB. exFAT images (made with mkfs.exfat, written through the FUSE driver
# where it runs) come a third time ("x-") with their checksums made right by
# the target. With EXFATDIR, the exFAT images also go there bare, with a
# quick-formatted one, as the seeds of the exFAT parser's target.
#   make-seeds.sh DIR PATH-TO-fuzz_seeds [EXFATDIR]
set -eu
out=$1
seeds=$2
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
images=$work/images
mkdir "$images"
export PATH="$PATH:/usr/sbin:/sbin"
export SOURCE_DATE_EPOCH=1600000000 MTOOLS_SKIP_CHECK=1
export TZ=UTC

pattern() {  # pattern FILE BYTES SEED
    head -c "$2" /dev/zero | tr '\0' "$3" > "$1"
}

# fill IMAGE: live and deleted files, a deleted tree, long names.
fill() {
    img=$1
    pattern "$work/a" 3000 A; pattern "$work/b" 9000 B; pattern "$work/c" 700 C
    pattern "$work/d" 20000 D; pattern "$work/e" 1 E
    mmd -i "$img" ::/DIR ::/DIR/SUB ::/TREE ::/TREE/DEEP
    mcopy -i "$img" "$work/a" ::/KEEP.TXT
    mcopy -i "$img" "$work/b" ::/GONE.BIN
    mcopy -i "$img" "$work/c" "::/A long file name.txt"
    mcopy -i "$img" "$work/d" ::/DIR/SUB/BIG.DAT
    mcopy -i "$img" "$work/e" ::/DIR/ONE.TXT
    mcopy -i "$img" "$work/c" ::/TREE/DEEP/X.TXT
    mcopy -i "$img" "$work/a" ::/TREE/Y.TXT
    mdel -i "$img" ::/GONE.BIN "::/A long file name.txt" ::/DIR/SUB/BIG.DAT
    mdeltree -i "$img" ::/TREE
    mcopy -i "$img" "$work/c" ::/AFTER.TXT
}

# FAT16: mtools needs at least 4085 clusters.
truncate -s 2560K "$work/f16.img"
mkfs.fat -F 16 -s 1 -i 1234ABCD "$work/f16.img" >/dev/null
fill "$work/f16.img"
head -c 128K "$work/f16.img" > "$images/mk16.img"

# FAT16 with 4096-byte sectors.
truncate -s 20M "$work/f16s.img"
mkfs.fat -F 16 -S 4096 -s 1 -i 1234ABCD "$work/f16s.img" >/dev/null
fill "$work/f16s.img"
head -c 128K "$work/f16s.img" > "$images/mk16-4096.img"

# FAT12: a floppy (entries straddle its 512-byte FAT sectors), and a small
# card with 2 KiB clusters and one FAT.
mkfs.fat -F 12 -i 1234ABCD -C "$work/f12.img" 1440 >/dev/null
fill "$work/f12.img"
head -c 96K "$work/f12.img" > "$images/mk12.img"
truncate -s 4M "$work/f12c.img"
mkfs.fat -F 12 -s 4 -f 1 -i 1234ABCD "$work/f12c.img" >/dev/null
fill "$work/f12c.img"
head -c 128K "$work/f12c.img" > "$images/mk12-2k.img"

# FAT32: mtools needs at least 65525 clusters; one FAT keeps the data near
# the start.
truncate -s 34M "$work/f32.img"
mkfs.fat -F 32 -s 1 -f 1 -i 1234ABCD "$work/f32.img" >/dev/null
fill "$work/f32.img"
head -c 384K "$work/f32.img" > "$images/mk32.img"

# exFAT: mkfs.exfat with small alignment, so that the heap starts at 20 KiB;
# files written, fragmented and deleted through the FUSE driver when it can
# run here (root, a loop device, /dev/fuse), else the bare volume.
exfat_image() {  # exfat_image NAME CLUSTER KEEP [quick]
    img=$work/$1.img
    truncate -s 1M "$img"
    mkfs.exfat -c "$2" -b 4K "$img" >/dev/null
    mnt=$work/mnt-$1
    mkdir -p "$mnt"
    dev=$(losetup -f --show "$img" 2>/dev/null) || dev=
    if [ -n "$dev" ] && mount.exfat-fuse "$dev" "$mnt" >/dev/null 2>&1; then
        mkdir -p "$mnt/gone/sub" "$mnt/kept"
        pattern "$mnt/kept/live.txt" 3000 A
        pattern "$mnt/gone.bin" 9000 B
        pattern "$mnt/gone/sub/deep.txt" 700 C
        pattern "$mnt/gone/name that is longer than fifteen characters.txt" 20000 D
        for i in 1 2 3; do
            pattern "$mnt/tmp" "$2" E; cat "$mnt/tmp" >> "$mnt/frag.bin"
            pattern "$mnt/tmp" "$2" F; cat "$mnt/tmp" >> "$mnt/kept/between.bin"
        done
        rm -rf "$mnt/gone.bin" "$mnt/gone" "$mnt/frag.bin" "$mnt/tmp"
        umount "$mnt"
        # The driver has left when its process has.
        i=0
        while [ $i -lt 100 ] && pgrep -f "mount.exfat-fuse $dev" >/dev/null; do sleep 0.05; i=$((i + 1)); done
    fi
    [ -n "$dev" ] && losetup -d "$dev"
    [ "${4:-}" = quick ] && mkfs.exfat -c "$2" -b 4K "$img" >/dev/null
    head -c "$3" "$img" > "$images/$1.img"
}
exfat_image ex512 512 192K
exfat_image ex4k 4096 256K
if [ -n "${3:-}" ]; then
    mkdir -p "$3"
    cp "$images"/ex*.img "$3/"
    exfat_image exq4k 4096 256K quick
    cp "$images/exq4k.img" "$3/"
    rm "$images/exq4k.img"
fi

"$seeds" "$images"
for img in "$images"/*; do
    name=$(basename "$img")
    { printf '\000\040\177'; cat "$img"; } > "$out/c-$name"
    { printf '\001\040\177'; cat "$img"; } > "$out/u-$name"
done
# exFAT: byte 0 says which checksums the target makes right (3: both).
for img in "$images"/ex*; do
    { printf '\003\040\177'; cat "$img"; } > "$out/x-$(basename "$img")"
done
ls -l "$out"
