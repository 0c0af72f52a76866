#!/usr/bin/env bash
# Whether the configured Ninja build BUILD has a target named TARGET:
#   scripts/build-has-target.sh BUILD TARGET    (exit 0 yes, 1 no)
# The target list is read whole before it is searched: a search that stops
# at the first match must not close a pipe under ninja, whose SIGPIPE would
# read as "no" under pipefail.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 BUILD TARGET" >&2; exit 2; }
listing=$(ninja -C "$1" -t targets all 2>/dev/null) || exit 1
[[ $'\n'$listing == *$'\n'"$2: "* ]]
