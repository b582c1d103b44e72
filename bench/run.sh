#!/usr/bin/env bash
# The end-to-end benchmark: a full kov-recover of the benchmark volume
# against `cat` of the same image, both from the page cache, in one run.
#
#   bench/run.sh                 build, make the images if missing, measure
#
# Environment:
#   RUNS=5            timed runs per variant (the table shows medians)
#   BUILD=build-bench build directory (Release, benchmarks on, no GUI/tests)
#   OUT=bench/out     where the images are made and kept
#   WORK=/dev/shm/kovbench-PID
#                     where the measured image and the output directories
#                     live (one file system); the images are copied there,
#                     or hard-linked when WORK is on OUT's file system
#   TICKS=1           also run kov_tickprobe once per variant (0: skip)
#
# Variants: plain (the volume as mtools leaves it) and zerohigh (deleted
# entries' high start-cluster words zeroed, creation dates spread over
# 1990 .. 2019: every deleted file needs the creation-minute estimate, on a
# sparse table).
#
# Per run and variant: `cat IMAGE` (the read floor), `kov-recover IMAGE DIR`
# into a directory that never existed before, and `cp -r` of that output to
# another new directory (the write floor: what the file system charges for
# creating the same files with the same bytes).
#
# The default WORK is a tmpfs, so that the table shows the engine and not
# the disk's file system. With WORK on a disk (WORK=bench/out/work) the
# outputs are only removed at the very end: on ext4 without a journal,
# creating files within a few minutes of deleting many others is much
# slower (the inode allocator steps over recently freed inodes), and with
# the discard mount option every unlink waits for its discards.
#
# Targets checked at the end: kov-recover wall time at most 3 x cat,
# zerohigh at most 1.5 x plain, peak RSS at most 80 MiB + the FAT's size.
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
RUNS=${RUNS:-5}
BUILD=${BUILD:-$repo/build-bench}
OUT=${OUT:-$repo/bench/out}
TICKS=${TICKS:-1}
WORK=${WORK:-/dev/shm/kovbench-$$}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
if [[ -e $WORK ]]; then echo "$0: $WORK exists; remove it or choose another WORK" >&2; exit 1; fi
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
worktype=$(df --output=fstype "$WORK" | tail -1 | tr -d ' ')
keep=0
cleanup() { [[ $keep -eq 1 ]] || rm -rf "$WORK"; }
trap cleanup EXIT

[[ -x /usr/bin/time ]] || { echo "$0: /usr/bin/time is missing (apt-get install -y time)" >&2; exit 1; }

echo "== build ($BUILD, Release)" >&2
cmake -S "$repo" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKOV_BUILD_BENCH=ON -DKOV_BUILD_GUI=OFF \
  -DKOV_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target kov-recover kov_tickprobe >/dev/null
recover=$BUILD/kov-recover

variants=(plain zerohigh)
declare -A image=([plain]=$OUT/plain.img [zerohigh]=$OUT/zerohigh.img)
declare -A makeflag=([plain]= [zerohigh]=--zero-high)
for v in "${variants[@]}"; do
  if [[ ! -f ${image[$v]} ]]; then
    echo "== making ${image[$v]}" >&2
    # shellcheck disable=SC2086
    "$here/make-volume.sh" "${image[$v]}" ${makeflag[$v]}
  fi
done
manifest=$OUT/deleted.sha256
[[ -s $manifest ]] || python3 "$here/volumetool.py" manifest >"$manifest"
declare -A work
for v in "${variants[@]}"; do
  work[$v]=$WORK/$v.img
  ln "${image[$v]}" "${work[$v]}" 2>/dev/null || cp "${image[$v]}" "${work[$v]}"
done

now() { echo "$EPOCHREALTIME"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", b - a }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
med() { tr ' ' '\n' <<<"$1" | grep -v '^$' | median; }
last() { awk '{ print $NF }' <<<"$1"; }
fatbytes() { # sectors per FAT (offset 36) x bytes per sector (offset 11)
  local spf bps
  spf=$(od -An -tu4 -j36 -N4 "$1" | tr -d ' ')
  bps=$(od -An -tu2 -j11 -N2 "$1" | tr -d ' ')
  echo $((spf * bps))
}
# Sorted "sha256  ./name" list of an output directory's files.
digestdir() { (cd "$1" && find . -type f -print0 | xargs -0 -r sha256sum | sort); }
# Runs a command under /usr/bin/time; sets t_wall t_user t_sys t_rss.
timed() {
  local log=$1 a b
  shift
  a=$(now)
  /usr/bin/time -v -o "$log" "$@"
  b=$(now)
  t_wall=$(elapsed "$a" "$b")
  t_user=$(awk -F': ' '/User time/ { print $2 }' "$log")
  t_sys=$(awk -F': ' '/System time/ { print $2 }' "$log")
  t_rss=$(awk -F': ' '/Maximum resident/ { print $2 }' "$log")
}

scratch=$WORK

declare -A catw catc walls cpus users syss rsss cpw entries saved bytes digest identical
for v in "${variants[@]}"; do
  catw[$v]="" catc[$v]="" walls[$v]="" cpus[$v]="" users[$v]="" syss[$v]="" rsss[$v]="" cpw[$v]=""
done

echo "== warming the page cache" >&2
for v in "${variants[@]}"; do cat "${work[$v]}" >/dev/null; cat "${work[$v]}" >/dev/null; done

for ((run = 1; run <= RUNS; run++)); do
  for v in "${variants[@]}"; do
    img=${work[$v]}
    # The read floor: the whole image once.
    timed "$scratch/cat.time" sh -c 'cat "$1" >/dev/null' sh "$img"
    catw[$v]+="$t_wall " catc[$v]+="$(awk -v u="$t_user" -v s="$t_sys" 'BEGIN { print u + s }') "

    outdir=$scratch/$v-$run
    sync
    status=0
    timed "$scratch/$v-$run.time" "$recover" "$img" "$outdir" 2>"$scratch/$v-$run.log" || status=$?
    if [[ $status -ne 0 ]]; then
      echo "$0: kov-recover exited $status on $v (see $scratch/$v-$run.log)" >&2
      keep=1
      exit 1
    fi
    walls[$v]+="$t_wall " users[$v]+="$t_user " syss[$v]+="$t_sys " rsss[$v]+="$t_rss "
    cpus[$v]+="$(awk -v u="$t_user" -v s="$t_sys" 'BEGIN { print u + s }') "
    kovline=$(printf 'kov-recover %ss (user %s sys %s, %s KiB)' "$t_wall" "$t_user" "$t_sys" "$t_rss")

    # The write floor: the same files, copied.
    sync
    timed "$scratch/cp.time" cp -r "$outdir" "$outdir.cp"
    cpw[$v]+="$t_wall "

    # Correctness: what was written, and that it is the same every run.
    summary=$(grep -E 'files saved' "$scratch/$v-$run.log" | tail -1)
    read -r nsaved nbytes nentries <<<"$(sed -E 's/.*: ([0-9]+) files saved, ([0-9]+) bytes.* ([0-9]+) entries walked.*/\1 \2 \3/' <<<"$summary")"
    nfiles=$(find "$outdir" -type f | wc -l)
    [[ $nfiles -eq $nsaved ]] || { echo "$0: $v run $run: $nfiles files on disk, $nsaved reported" >&2; exit 1; }
    d=$(digestdir "$outdir" | sha256sum | cut -c1-16)
    if [[ -z ${digest[$v]:-} ]]; then
      digest[$v]=$d saved[$v]=$nsaved bytes[$v]=$nbytes entries[$v]=$nentries
      identical[$v]=$(comm -12 <(digestdir "$outdir" | cut -c1-64 | sort) <(cut -c1-64 "$manifest" | sort) | wc -l)
    elif [[ $d != "${digest[$v]}" || $nsaved != "${saved[$v]}" || $nentries != "${entries[$v]}" ]]; then
      echo "$0: $v run $run differs from run 1: $nsaved files, digest $d (run 1: ${saved[$v]}, ${digest[$v]})" >&2
      exit 1
    fi
    printf '  run %d %-8s cat %ss  %s  cp -r %ss  %s files  digest %s  load %s\n' "$run" "$v" \
      "$(last "${catw[$v]}")" "$kovline" "$(last "${cpw[$v]}")" "$nsaved" "$d" "$(cut -d' ' -f1 /proc/loadavg)" >&2
    # On a tmpfs removing is cheap and has no after-effects.
    [[ $worktype != tmpfs ]] || rm -rf "$outdir" "$outdir.cp"
  done
done

echo
echo "kov-recover benchmark: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), TZ=${TZ:-$(cat /etc/timezone 2>/dev/null || echo unset)}, medians of $RUNS runs"
echo "image 2 GiB FAT32, 50,000 files in 300 directories, 10,000 deleted ($(awk '{ s += $2 } END { printf "%.1f", s / 1048576 }' "$manifest") MiB); image and output on $worktype ($WORK)"
echo
printf '%-9s %7s %7s %8s %7s %7s %7s %8s %7s %6s %7s %10s %7s %6s %9s\n' variant "cat s" "cat cpu" "wall s" "user s" "sys s" "cpu s" "RSS MiB" "x cat" "x cpu" "cp -r s" "entries/s" "MiB/s" files identical
declare -A wallmed rssmed ratio
for v in "${variants[@]}"; do
  c=$(med "${catw[$v]}") cc=$(med "${catc[$v]}")
  w=$(med "${walls[$v]}") u=$(med "${users[$v]}") s=$(med "${syss[$v]}") cpu=$(med "${cpus[$v]}")
  r=$(med "${rsss[$v]}") cp=$(med "${cpw[$v]}")
  wallmed[$v]=$w rssmed[$v]=$r
  ratio[$v]=$(awk -v w="$w" -v c="$c" 'BEGIN { printf "%.2f", w / c }')
  printf '%-9s %7.3f %7.2f %8.3f %7.2f %7.2f %7.2f %8.1f %7s %6.2f %7.3f %10.0f %7.1f %6s %9s\n' "$v" "$c" "$cc" "$w" "$u" "$s" "$cpu" \
    "$(awk -v r="$r" 'BEGIN { print r / 1024 }')" "${ratio[$v]}" "$(awk -v a="$cpu" -v b="$cc" 'BEGIN { print (b > 0 ? a / b : 0) }')" \
    "$cp" "$(awk -v e="${entries[$v]}" -v w="$w" 'BEGIN { print e / w }')" \
    "$(awk -v b="${bytes[$v]}" -v w="$w" 'BEGIN { print b / 1048576 / w }')" "${saved[$v]}" "${identical[$v]}"
done
echo
echo "x cat: kov-recover wall / cat wall; x cpu: kov-recover (user+sys) / cat (user+sys); cp -r: copying the"
echo "recovered files to a new directory (the write floor); entries/s: walk entries of both passes"
echo "(${entries[plain]} plain, ${entries[zerohigh]} zerohigh) per wall second; MiB/s: recovered bytes per wall"
echo "second; identical: saved files byte-equal to one of the 10,000 deleted files."
echo

verdict() { if awk "BEGIN { exit !($1) }"; then echo ok; else echo MISSED; fi; }
fat=$(fatbytes "${image[plain]}")
limit=$(awk -v f="$fat" 'BEGIN { printf "%.1f", 80 + f / 1048576 }')
zr=$(awk -v z="${wallmed[zerohigh]}" -v p="${wallmed[plain]}" 'BEGIN { printf "%.2f", z / p }')
echo "targets:"
echo "  plain    wall <= 3 x cat:             ${ratio[plain]} x   $(verdict "${ratio[plain]} <= 3")"
echo "  zerohigh wall <= 3 x cat:             ${ratio[zerohigh]} x   $(verdict "${ratio[zerohigh]} <= 3")"
echo "  zerohigh wall <= 1.5 x plain:         $zr x   $(verdict "$zr <= 1.5")"
for v in "${variants[@]}"; do
  m=$(awk -v r="${rssmed[$v]}" 'BEGIN { printf "%.1f", r / 1024 }')
  printf '  %-8s peak RSS <= %s MiB:       %s MiB   %s\n' "$v" "$limit" "$m" "$(verdict "$m <= $limit")"
done

if [[ $TICKS -ne 0 ]]; then
  for v in "${variants[@]}"; do
    sync
    echo
    echo "tick probe, $v (longest tick without a save must stay <= 50 ms):"
    "$BUILD/bench/kov_tickprobe" "${work[$v]}" "$scratch/$v-ticks" | sed 's/^/  /'
    [[ $worktype != tmpfs ]] || rm -rf "$scratch/$v-ticks"
  done
fi
