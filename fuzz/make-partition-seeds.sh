#!/bin/sh
# Makes the partition fuzz target's seed corpus in DIR: small disk images
# whose MBR or GPT tables sfdisk writes (primary, extended and logical
# partitions; GPT entries; a GPT whose primary header is damaged), with the
# boot sector of a FAT16 or FAT32 volume made by mkfs.fat at the start of
# most partitions.
#   make-partition-seeds.sh DIR
set -eu
out=$1
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PATH="$PATH:/usr/sbin:/sbin"

truncate -s 20M "$work/f16.img"
mkfs.fat -F 16 -i 1234ABCD -n FAT16VOL "$work/f16.img" >/dev/null
head -c 512 "$work/f16.img" > "$work/boot16"
truncate -s 40M "$work/f32.img"
mkfs.fat -F 32 -s 1 -i 1234ABCD -n FAT32VOL "$work/f32.img" >/dev/null
head -c 512 "$work/f32.img" > "$work/boot32"

# disk NAME SFDISK-SCRIPT [SECTOR:BOOT ...]: a 128 KiB image with the table
# and the boot sectors at the sectors given.
disk() {
    img=$out/$1
    rm -f "$img"
    truncate -s 128K "$img"
    printf "$2" | sfdisk -q "$img"
    shift 2
    for at in "$@"; do
        dd if="$work/boot${at#*:}" of="$img" bs=512 seek="${at%%:*}" conv=notrunc status=none
    done
}

disk mbr-primaries 'label: dos\nlabel-id: 0x4b4f5600\nstart=4, size=60, type=6\nstart=64, size=60, type=c\nstart=130, type=83\n' \
    4:16 64:32 130:16
disk mbr-logicals \
    'label: dos\nlabel-id: 0x4b4f5600\nstart=4, size=40, type=e\nstart=48, type=5\nstart=52, size=40, type=6\nstart=96, size=40, type=c\nstart=140, size=40, type=e\n' \
    4:16 52:16 96:32 140:16
disk gpt 'label: gpt\nlabel-id: 00000000-0000-4000-8000-4b4f56000000\nfirst-lba: 34\nstart=34, size=64, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, uuid=00000000-0000-4000-8000-000000000001\nstart=98, size=64, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, uuid=00000000-0000-4000-8000-000000000002\nstart=162, size=40, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, uuid=00000000-0000-4000-8000-000000000003\n' \
    34:32 98:16
disk gpt-short-table 'label: gpt\nlabel-id: 00000000-0000-4000-8000-4b4f56000000\nfirst-lba: 6\ntable-length: 4\nstart=6, size=100, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, uuid=00000000-0000-4000-8000-000000000004\nstart=106, size=100, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, uuid=00000000-0000-4000-8000-000000000005\n' \
    6:16 106:32
# The primary header's CRC no longer matches: the backup header is used.
cp "$out/gpt" "$out/gpt-backup"
printf '\336\255' | dd of="$out/gpt-backup" bs=1 seek=528 conv=notrunc status=none
ls -l "$out"
