#!/usr/bin/env bash
# What --verify adds to a full recovery of the benchmark volume: plain and
# --verify runs by turns, image and output on a tmpfs, image in the page
# cache, medians of RUNS wall times and of RUNS CPU times (user + sys; on a
# machine shared with other jobs the wall time mostly measures the others).
#
#   bench/verify-cost.sh            build, make the image if missing, measure
#
# Environment: RUNS=5, BUILD=build-bench, OUT=bench/out (as bench/run.sh).
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
RUNS=${RUNS:-5}
BUILD=${BUILD:-$repo/build-bench}
OUT=${OUT:-$repo/bench/out}
mkdir -p "$OUT"
work=$(mktemp -d /dev/shm/kovverify.XXXXXX)
trap 'rm -rf "$work"' EXIT

cmake -S "$repo" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKOV_BUILD_BENCH=ON -DKOV_BUILD_GUI=OFF \
  -DKOV_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target kov-recover >/dev/null
[[ -f $OUT/plain.img ]] || "$here/make-volume.sh" "$OUT/plain.img"
cp "$OUT/plain.img" "$work/plain.img"
cat "$work/plain.img" >/dev/null

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
declare -A walls=([plain]="" [verify]="") cpus=([plain]="" [verify]="")
for ((run = 1; run <= RUNS; run++)); do
  for variant in plain verify; do
    flags=()
    [[ $variant == plain ]] || flags=(--verify)
    a=$EPOCHREALTIME
    /usr/bin/time -f '%U %S' -o "$work/time" "$BUILD/kov-recover" "${flags[@]}" "$work/plain.img" \
      "$work/out-$variant-$run" 2>"$work/log"
    b=$EPOCHREALTIME
    w=$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", b - a }')
    c=$(awk '{ printf "%.2f", $1 + $2 }' "$work/time")
    walls[$variant]+="$w " cpus[$variant]+="$c "
    printf '  run %d %-6s %ss cpu %ss  %s  load %s\n' "$run" "$variant" "$w" "$c" "$(tail -1 "$work/log" | sed 's/^kov-recover: //')" \
      "$(cut -d' ' -f1 /proc/loadavg)" >&2
    rm -rf "$work/out-$variant-$run"
  done
done
med() { tr ' ' '\n' <<<"$1" | grep -v '^$' | median; }
p=$(med "${walls[plain]}") v=$(med "${walls[verify]}") pc=$(med "${cpus[plain]}") vc=$(med "${cpus[verify]}")
more() { awk -v p="$1" -v v="$2" 'BEGIN { printf "%+.1f %%", (v / p - 1) * 100 }'; }
echo "kov-recover on the benchmark volume, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), medians of $RUNS"
echo "             wall      cpu (user + sys)"
echo "  plain      ${p} s   ${pc} s"
echo "  --verify   ${v} s   ${vc} s"
echo "  added      $(more "$p" "$v")   $(more "$pc" "$vc")   (target <= +30 %)"
