#!/bin/sh
# Makes the layout seeds afresh and replays them, with the kept fault
# inputs, through the layout search's entry point.
#   replay-layout-seeds.sh PATH-TO-fuzz_layout_replay PATH-TO-fuzz_seeds REGRESSIONS-DIR
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$(dirname "$0")/make-layout-seeds.sh" "$work/layout" "$2"
if [ -d "$3" ]; then
    exec "$1" "$work/layout" "$3"
fi
exec "$1" "$work/layout"
