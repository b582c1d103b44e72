#!/usr/bin/env bash
# Makes the benchmark volume, byte for byte the same on every run:
# a 2 GiB FAT32 image holding 50,000 files of 64 B to 128 KiB in 300
# directories, 10,000 of them deleted (about 160 MiB of deleted data).
#
#   bench/make-volume.sh OUT.img [--zero-high]
#
# --zero-high: afterwards every deleted entry's high start-cluster word is
# set to 0, and every file's creation stamp is moved so that the files were
# created one after the other between 1990 and 2019 (one every 315 minutes,
# deleted ones included), which leaves the creation-minute table sparse.
#
# Needs mkfs.fat (dosfstools), mtools and python3.
set -euo pipefail

usage() { echo "usage: $0 OUT.img [--zero-high]" >&2; exit 2; }
[[ $# -ge 1 && $# -le 2 ]] || usage
out=$1
zerohigh=0
if [[ $# -eq 2 ]]; then
  [[ $2 == --zero-high ]] || usage
  zerohigh=1
fi
here=$(cd "$(dirname "$0")" && pwd)
for tool in mkfs.fat mmd mcopy mdel python3; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is missing" >&2; exit 1; }
done

# Fixed clock and zone: mtools stamps directories with SOURCE_DATE_EPOCH and
# converts the files' mtimes (mcopy -m) with the local zone.
export TZ=UTC SOURCE_DATE_EPOCH=1559988000 MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=1 LC_ALL=C

# The image is built next to OUT.img; the 50,000 staged files go to a tmpfs
# when there is one (creating and removing them on a disk is slow).
work=$(mktemp -d "$(dirname "$out")/.make-volume.XXXXXX")
if [[ -d /dev/shm && -w /dev/shm ]]; then stage=$(mktemp -d /dev/shm/kov-stage.XXXXXX); else stage=$work/stage; fi
trap 'rm -rf "$work" "$stage"' EXIT
img=$work/volume.img

# A fully written image (not sparse), like a real card.
dd if=/dev/zero of="$img" bs=1M count=2048 status=none
# --invariant first: it fixes the label time, and -i after it the volume id.
mkfs.fat --invariant -F 32 -s 8 -i 4B4F5631 -n KOVBENCH "$img" >/dev/null

echo "staging files ..." >&2
python3 "$here/volumetool.py" stage "$stage" >"$work/plan"

echo "copying into the image ..." >&2
while read -r verb args; do
  case $verb in
    mmd) # shellcheck disable=SC2086
         mmd -i "$img" $args ;;
    copy) mcopy -m -i "$img" "$stage/$args"/*.JPG "::$args/" ;;
    del) ;;
  esac
done <"$work/plan"
rm -rf "$stage"

echo "deleting ..." >&2
grep '^del ' "$work/plan" | while read -r verb args; do
  # shellcheck disable=SC2086
  mdel -i "$img" $args
done

if [[ $zerohigh -eq 1 ]]; then
  python3 "$here/volumetool.py" patch "$img"
fi

mv "$img" "$out"
echo "$out: $(stat -c %s "$out") bytes" >&2
