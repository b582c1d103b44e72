#!/bin/sh
# Makes the partition seed corpus afresh and replays it, with the kept
# fault inputs, through the partition fuzz entry point.
#   replay-partition-seeds.sh PATH-TO-fuzz_partitions_replay REGRESSIONS-DIR
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$(dirname "$0")/make-partition-seeds.sh" "$work/seeds" >/dev/null
if [ -d "$2" ]; then
    exec "$1" "$work/seeds" "$2"
fi
exec "$1" "$work/seeds"
