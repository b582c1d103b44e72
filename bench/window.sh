#!/usr/bin/env bash
# The window's run against kov-recover's on the benchmark volume, in one
# run, output on a tmpfs: kov_windowrun times the window from the click on
# Recover to the end box (a pause of 200 ms, clicked 40% in, left out),
# with its longest gap between repaints and the longest round of its event
# loop (what a click on Pause waits at most); the outputs must be the same.
#
#   bench/window.sh [IMAGE]      default: bench/out/volume.img (made if missing)
#
# Environment:
#   BUILD=build     a build with -DKOV_BUILD_BENCH=ON and the window
#   RUNS=3          runs per face and option set (the table shows medians)
#   OPTIONS="|--deep|--verify|--original-names"   option sets, '|'-separated
#   QT_QPA_PLATFORM=offscreen   (or run under xvfb-run for a real X server)
#
# Targets: window time at most 1.5 x kov-recover's, longest repaint gap at
# most 50 ms, Pause answered within 100 ms.
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
build=${BUILD:-$repo/build}
runs=${RUNS:-3}
image=${1:-$repo/bench/out/volume.img}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
[[ -f $image ]] || { mkdir -p "$(dirname "$image")"; "$here/make-volume.sh" "$image"; }
work=$(mktemp -d /dev/shm/kovwindow.XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$image" "$work/volume.img"
cat "$work/volume.img" >/dev/null

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
IFS='|' read -r -a sets <<<"${OPTIONS:-|--deep|--verify|--original-names}"
printf '%-18s %8s %8s %6s %9s %9s %9s\n' options cli_s window_s ratio gap_ms round_ms pause_ms
fail=0
for opts in "${sets[@]}"; do
  : >"$work/cli" ; : >"$work/win"
  for ((i = 0; i < runs; i++)); do
    rm -rf "$work/o1" "$work/o2"
    # shellcheck disable=SC2086
    /usr/bin/time -f %e -o "$work/time" "$build/kov-recover" $opts "$work/volume.img" "$work/o1" 2>/dev/null || true
    s=$(tail -1 "$work/time")
    echo "$s" >>"$work/cli"
    pause=$(awk -v s="$s" 'BEGIN {printf "%d", s * 400}')
    # shellcheck disable=SC2086
    KOV_PAUSE_MS=$pause "$build/bench/kov_windowrun" "$work/volume.img" "$work/o2" $opts 2>/dev/null >>"$work/win"
    diff -r "$work/o1" "$work/o2" >/dev/null || { echo "outputs differ for '$opts'" >&2; fail=1; }
  done
  c=$(median <"$work/cli")
  w=$(awk '{print $1}' "$work/win" | median)
  gap=$(sed 's/.*longest gap \([0-9.]*\) ms.*/\1/' "$work/win" | sort -n | tail -1)
  round=$(sed 's/.*event-loop round \([0-9.]*\) ms.*/\1/' "$work/win" | sort -n | tail -1)
  pause=$(sed 's/.*pause answered in \([-0-9.]*\) ms.*/\1/' "$work/win" | sort -n | tail -1)
  ratio=$(awk -v c="$c" -v w="$w" 'BEGIN {printf "%.2f", w / c}')
  printf '%-18s %8s %8s %6s %9s %9s %9s\n' "${opts:-(none)}" "$c" "$w" "$ratio" "$gap" "$round" "$pause"
  awk -v r="$ratio" -v g="$gap" -v p="$pause" 'BEGIN {exit !(r <= 1.5 && g <= 50 && p <= 100)}' || fail=1
done
exit $fail
