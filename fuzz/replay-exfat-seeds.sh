#!/bin/sh
# Makes the exFAT seed images afresh and replays them, with the kept fault
# inputs, through the exFAT parser's entry point.
#   replay-exfat-seeds.sh PATH-TO-fuzz_exfat_replay PATH-TO-fuzz_seeds REGRESSIONS-DIR
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$(dirname "$0")/make-seeds.sh" "$work/seeds" "$2" "$work/exfat" >/dev/null
if [ -d "$3" ]; then
    exec "$1" "$work/exfat" "$3"
fi
exec "$1" "$work/exfat"
