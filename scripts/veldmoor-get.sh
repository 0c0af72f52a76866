#!/usr/bin/env bash
# Installs what is needed, builds veldmoor-get (into build/) when it is missing
# or out of date, and runs it with the arguments given:
#   scripts/veldmoor-get.sh -o game.exe http://mirror.example/game.exe
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"

"$root/scripts/setup.sh" >&2
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target veldmoor-get -j "$(nproc)" >&2
exec "$build/tools/veldmoor-get/veldmoor-get" "$@"
