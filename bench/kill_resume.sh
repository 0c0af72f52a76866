#!/usr/bin/env bash
# Kills veldmoor-get with SIGKILL part-way through a download and runs it again:
# prints how many bytes were fetched twice, as an upper bound: what the mirror
# sent beyond the file's size. One nginx mirror limited to $MIRROR_RATE (default
# 40m, 0 for none) serves a random file of $SIZE_MIB (default 512); with
# TORRENT=1 the task has a torrent of the file too (1 MiB pieces, no tracker).
# Kill after $KILL_AFTER seconds (default 5).
#   bench/kill_resume.sh [WORK_DIR]     (default /tmp/veldmoor-kill-resume)
set -euo pipefail
work=${1:-/tmp/veldmoor-kill-resume}
source "$(dirname "$0")/world.sh"
size_mib=${SIZE_MIB:-512}
rate=${MIRROR_RATE:-40m}
kill_after=${KILL_AFTER:-5}
require "$get" "$nginx" python3

file=$work/www/file.bin
make_file "$file" "$size_mib"
start_mirror resume "$work/www" "limit_rate $rate;"
url="http://127.0.0.1:$port/file.bin"
args=()
if [ "${TORRENT:-0}" = 1 ]; then
  make_torrent "$file" $((1 << 20)) "" "$work/file.torrent" >/dev/null
  args=(-T "$work/file.torrent" --p2p off)
fi
rm -rf "$work/out" && mkdir -p "$work/out"
out=$work/out/file.bin
"$get" -q --status-json -o "$out" "${args[@]}" "$url" >"$work/first.jsonl" 2>"$work/first.log" &
pid=$!
sleep "$kill_after"
kill -KILL "$pid"; wait "$pid" 2>/dev/null || true
"$get" -q --status-json -o "$out" "${args[@]}" "$url" >"$work/second.jsonl" 2>"$work/second.log"
md5=$(md5sum <"$out" | cut -d' ' -f1)
[ "$md5" = "$(cat "$file.md5")" ] && md5=ok || md5="WRONG"
echo "md5 $md5"
awk -v v="$(mirror_sent resume)" -v t=$((size_mib << 20)) 'BEGIN {
  printf "the mirror sent %.1f MiB in all: at most %.1f MiB fetched twice (bytes sent but never read count too)\n",
    v / 1048576, (v - t) / 1048576 }'
