#!/usr/bin/env bash
# Checks that `veldmoor-get --limit 2048` holds the download near 2 MiB/s:
# the average rate over the 20 s after the first 5 s, from the from_sources
# figure of the --status-json lines. Exits 1 when it is more than 10% off.
#   bench/limit_check.sh [WORK_DIR]      (default /tmp/veldmoor-bench)
# veldmoor-get is $VELDMOOR_GET, else build/tools/veldmoor-get/veldmoor-get.
set -euo pipefail
work=${1:-/tmp/veldmoor-bench}
source "$(dirname "$0")/world.sh"
limit_kib=2048
require "$get" "$nginx"

make_file "$work/www-limit/file.bin" 128  # 5 times what 25 s at the limit need
start_mirror limit "$work/www-limit" ""
mkdir -p "$work/out"

out=$work/out/limit.bin
status=$work/limit-status.txt
rm -f "$out" "$out".*
# Each status line is stamped with the time it arrived.
fifo=$work/limit-status.fifo
rm -f "$fifo" && mkfifo "$fifo"
while IFS= read -r line; do echo "$(date +%s.%N) $line"; done <"$fifo" >"$status" &
stamp_pid=$!
world_pids+=("$stamp_pid")
start=$(date +%s.%N)
"$get" --limit "$limit_kib" --status-json -q -o "$out" "http://127.0.0.1:$port/file.bin" >"$fifo" &
get_pid=$!
world_pids+=("$get_pid")
sleep 25
kill -INT "$get_pid" 2>/dev/null || echo "veldmoor-get ended before the 25 s were over" >&2
wait "$get_pid" || true
wait "$stamp_pid" || true
rm -f "$out" "$out".* "$fifo"

awk -v start="$start" -v limit="$limit_kib" '
  { t = $1 - start; if (match($0, /"from_sources":[0-9]+/)) bytes = substr($0, RSTART + 15, RLENGTH - 15) + 0; else next }
  t >= 5 && !have_first { t0 = t; b0 = bytes; have_first = 1 }
  have_first && t <= 25.5 { t1 = t; b1 = bytes }
  END {
    if (!have_first || t1 <= t0) { print "too few status lines"; exit 1 }
    rate = (b1 - b0) / (t1 - t0) / 1024
    off = (rate - limit) * 100 / limit
    printf "limit %d KiB/s; average %.1f KiB/s over %.1f s (from %.1f s to %.1f s); %+.1f%% off; aim within 10%%: %s\n",
      limit, rate, t1 - t0, t0, t1, off, (off < 10 && off > -10) ? "yes" : "NO"
    exit (off < 10 && off > -10) ? 0 : 1
  }' "$status"
