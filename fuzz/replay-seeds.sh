#!/bin/sh
# Makes the seed corpus afresh and replays it, with the kept fault inputs,
# through the fuzz entry point.
#   replay-seeds.sh PATH-TO-fuzz_replay PATH-TO-fuzz_seeds REGRESSIONS-DIR
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$(dirname "$0")/make-seeds.sh" "$work/seeds" "$2" >/dev/null
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}allocator_may_return_null=1:max_allocation_size_mb=256"
if [ -d "$3" ]; then
    exec "$1" "$work/seeds" "$3"
fi
exec "$1" "$work/seeds"
