#!/bin/sh
# Makes carving's seed corpus afresh (make-carve-seeds.sh) and replays it,
# with the kept fault inputs (REGRESSIONS-DIR, when there), through
# carving's fuzz entry point.
#   replay-carve-seeds.sh PATH-TO-fuzz_carve_replay PATH-TO-fuzz_verify_seeds REGRESSIONS-DIR
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$(dirname "$0")/make-carve-seeds.sh" "$work/seeds" "$2"
inputs=$work/seeds
[ -d "$3" ] && inputs="$inputs $3"
# shellcheck disable=SC2086  # the inputs are folder names without spaces
"$1" $inputs
