#!/usr/bin/env bash
# A P2SP download with a per-second trace: a random file ($SIZE_MIB, default
# 256) served by four nginx mirrors limited to $MIRROR_RATE per connection
# (default 20m) and seeded by three aria2c found through an opentracker on
# loopback. veldmoor-get fetches it with --status-json; the script prints, per
# second, MiB from sources and from peers, then the seconds from the third on
# where either was zero, wall and CPU time, peak RSS and whether the MD5 matches.
#   bench/p2sp_trace.sh [WORK_DIR]     (default /tmp/veldmoor-p2sp-trace)
# veldmoor-get is $VELDMOOR_GET, else build/tools/veldmoor-get/veldmoor-get.
set -euo pipefail
work=${1:-/tmp/veldmoor-p2sp-trace}
source "$(dirname "$0")/world.sh"
size_mib=${SIZE_MIB:-256}
rate=${MIRROR_RATE:-20m}
piece=$((1 << 20))
require "$get" "$nginx" opentracker aria2c python3 /usr/bin/time

file=$work/www/file.bin
make_file "$file" "$size_mib"
want=$(cat "$file.md5")
tracker_port=$(free_port)
torrent=$work/file.torrent
start_tracker "$tracker_port" "$(make_torrent "$file" "$piece" "http://127.0.0.1:$tracker_port/announce" "$torrent")"
for n in 3 4 5; do start_aria2_seeder "$n" "$file" "$torrent"; done
urls=()
for i in 1 2 3 4; do start_mirror "m$i" "$work/www" "limit_rate $rate;"; urls+=("http://127.0.0.1:$port/file.bin"); done
wait_for_seeders 3

out=$work/out/file.bin
rm -rf "$work/out" && mkdir -p "$work/out"
status=ok
/usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" timeout "$run_limit" "$get" -q --status-json -o "$out" \
  -T "$torrent" --port "$(free_port)" "${urls[@]}" >"$work/trace.jsonl" 2>"$work/run.log" || status="failed: exit $?"
read -r wall user sys rss < <(tail -1 "$work/time.txt")
md5=missing
[ -f "$out" ] && md5=$(md5sum <"$out" | cut -d' ' -f1)
[ "$md5" = "$want" ] && md5=ok || md5="WRONG $md5"
python3 - "$work/trace.jsonl" <<'EOF'
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1]) if l.startswith("{")]
ps = pp = 0
gaps = []
print("%4s %9s %9s %9s" % ("s", "src MiB/s", "peer MiB/s", "done %"))
for i, r in enumerate(rows, 1):
    s, p = r["from_sources"] - ps, r["from_peers"] - pp
    ps, pp = r["from_sources"], r["from_peers"]
    print("%4d %9.1f %9.1f %9d" % (i, s / 1048576, p / 1048576, r["progress"]))
    if i >= 3 and i < len(rows) and (s <= 0 or p <= 0): gaps.append(i)
print("seconds from the third on with sources or peers at zero:", gaps if gaps else "none")
print("total from sources %.1f MiB, from peers %.1f MiB" % (ps / 1048576, pp / 1048576))
EOF
awk -v w="$wall" -v u="$user" -v s="$sys" -v r="$rss" -v m="$md5" -v st="$status" -v sz="$size_mib" 'BEGIN {
  printf "wall %.2f s, cpu %.2f s, peak RSS %.1f MiB, %.1f MiB/s, md5 %s, %s\n", w, u + s, r / 1024, sz / (w > 0 ? w : 1), m, st }'
for i in 1 2 3 4; do
  awk -v b="$(mirror_sent "m$i")" 'BEGIN { printf "mirror served %.1f MiB\n", b / 1048576 }'
done
