#!/bin/sh
# Makes the content checks' seed corpus afresh and replays each family's
# seeds, with its kept fault inputs (REGRESSIONS-DIR/verify-<family>/), through
# the fuzz entry point of that family.
#   replay-verify-seeds.sh PATH-TO-fuzz_verify_replay PATH-TO-fuzz_verify_seeds REGRESSIONS-DIR "FAMILY..."
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$2" "$work/seeds" >/dev/null
for family in $4; do
    inputs="$work/seeds/$family"
    [ -d "$3/verify-$family" ] && inputs="$inputs $3/verify-$family"
    printf '%s: ' "$family"
    # shellcheck disable=SC2086  # the inputs are folder names without spaces
    KOV_FUZZ_FAMILY=$family "$1" $inputs
done
