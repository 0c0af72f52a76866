#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, optimised) into build-fuzz/ and runs
# each for a while on its seed corpus. A target is every fuzz/corpus/<name>
# folder; its program is <name>_fuzz, its dictionary fuzz/<name>.dict and its
# extra libFuzzer flags fuzz/<name>.options when there are. New inputs go to
# build-fuzz/corpus/<name>, so the seeds in the repository stay as they are.
#   scripts/fuzz.sh [seconds per target] [name...]
# Targets run side by side, one per core (VELDMOOR_FUZZ_JOBS sets how many);
# each still gets its seconds. Fails when a target finds a fault (its
# reproducer is left in build-fuzz/findings/).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
[ $# -gt 0 ] && shift
build="$root/build-fuzz"

export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELDMOOR_FUZZ=ON -DVELDMOOR_TESTS=OFF >/dev/null

if [ $# -gt 0 ]; then
  names=("$@")
else
  names=()
  for folder in "$root"/fuzz/corpus/*/; do names+=("$(basename "$folder")"); done
fi
targets=()
for name in "${names[@]}"; do targets+=("${name}_fuzz"); done
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

mkdir -p "$build/findings"
run_target() {
  local name=$1 work="$build/corpus/$1"
  mkdir -p "$work"
  local options=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/findings/$name-")
  [ -f "$root/fuzz/$name.dict" ] && options+=(-dict="$root/fuzz/$name.dict")
  # Extra libFuzzer flags, one a line (a larger -max_len for big records).
  [ -f "$root/fuzz/$name.options" ] && mapfile -t -O "${#options[@]}" options < "$root/fuzz/$name.options"
  local status=0
  "$build/fuzz/${name}_fuzz" "${options[@]}" "$work" "$root/fuzz/corpus/$name" 2>"$build/$name.log" || status=$?
  echo "$status" > "$build/$name.status"
}

jobs_at_once=${VELDMOOR_FUZZ_JOBS:-$(nproc)}
echo "== ${#names[@]} targets, ${seconds}s each, $jobs_at_once at a time"
running=0
for name in "${names[@]}"; do
  if [ "$running" -ge "$jobs_at_once" ]; then
    wait -n
    running=$((running - 1))
  fi
  rm -f "$build/$name.status"
  run_target "$name" &
  running=$((running + 1))
done
wait

faults=()
for name in "${names[@]}"; do
  echo "== $name"
  if [ "$(cat "$build/$name.status" 2>/dev/null)" != 0 ]; then
    tail -n 60 "$build/$name.log" >&2
    echo "fuzz target $name found a fault" >&2
    faults+=("$name")
  fi
  grep -E 'stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$build/$name.log" || true
done
[ ${#faults[@]} -eq 0 ] || { echo "faults found by: ${faults[*]}" >&2; exit 1; }
