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

root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/veldmoor-p2sp-trace}
get=${VELDMOOR_GET:-$root/build/tools/veldmoor-get/veldmoor-get}
nginx=${NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
size_mib=${SIZE_MIB:-256}
rate=${MIRROR_RATE:-20m}
piece=$((1 << 20))
limit=${RUN_LIMIT:-300}
for tool in "$get" "$nginx" opentracker aria2c python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done

pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true' EXIT

free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
  done
}

start_mirror() {
  local dir=$work/nginx-$1 attempt
  mkdir -p "$dir"
  rm -f "$dir/access.log"  # a reused work dir must not add up earlier runs
  for attempt in 1 2 3 4 5; do
    port=$(free_port)
    cat >"$dir/nginx.conf" <<EOF
daemon off; master_process off; worker_processes 1;
pid $dir/nginx.pid; error_log $dir/error.log;
events { worker_connections 256; }
http {
  sendfile on; log_format served '\$status [\$http_range] \$body_bytes_sent \$connection \$connection_requests';
  access_log $dir/access.log served;
  client_body_temp_path $dir/body; proxy_temp_path $dir/proxy; fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi; scgi_temp_path $dir/scgi;
  server { listen 127.0.0.1:$port; root $work/www; $2 }
}
EOF
    "$nginx" -c "$dir/nginx.conf" -p "$dir" >"$dir/output.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do
      kill -0 "$!" 2>/dev/null || break
      (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
      sleep 0.1
    done
    kill "$!" 2>/dev/null || true
  done
  echo "nginx $1 did not start (see $dir)" >&2
  return 1
}

mkdir -p "$work/www" "$work/out"
file=$work/www/file.bin
if [ ! -s "$file" ] || [ "$(stat -c %s "$file")" != $((size_mib << 20)) ]; then
  head -c $((size_mib << 20)) /dev/urandom >"$file"
  md5sum <"$file" | cut -d' ' -f1 >"$file.md5"
fi
want=$(cat "$file.md5")

tracker_port=$(free_port)
torrent=$work/file.torrent
hash=$(python3 - "$file" "$piece" "http://127.0.0.1:$tracker_port/announce" "$torrent" <<'EOF'
import hashlib, os, sys
path, piece, announce, out = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
def text(b): return str(len(b)).encode() + b":" + b
pieces = bytearray()
with open(path, "rb") as f:
    while block := f.read(piece):
        pieces += hashlib.sha1(block).digest()
info = (b"d" + text(b"length") + b"i%de" % os.path.getsize(path) + text(b"name")
        + text(os.path.basename(path).encode()) + text(b"piece length") + b"i%de" % piece
        + text(b"pieces") + text(bytes(pieces)) + b"e")
with open(out, "wb") as f:
    f.write(b"d" + text(b"announce") + text(announce.encode()) + text(b"info") + info + b"e")
print(hashlib.sha1(info).hexdigest())
EOF
)
tracker_dir=$work/opentracker
mkdir -p "$tracker_dir"
echo "$hash" >"$tracker_dir/whitelist"
chmod 755 "$tracker_dir"; chmod 644 "$tracker_dir/whitelist"
opentracker -i 127.0.0.1 -p "$tracker_port" -P "$tracker_port" -d "$tracker_dir" -w whitelist \
  >"$work/opentracker.log" 2>&1 &
pids+=($!)
seeders_known() {
  python3 - "$tracker_port" "$hash" <<'EOF' 2>/dev/null || echo 0
import re, sys, urllib.parse, urllib.request
port, digest = sys.argv[1], bytes.fromhex(sys.argv[2])
url = "http://127.0.0.1:%s/scrape?info_hash=%s" % (port, urllib.parse.quote(digest))
found = re.search(rb"8:completei(\d+)e", urllib.request.urlopen(url, timeout=2).read())
print(int(found.group(1)) if found else 0)
EOF
}
aria2_common=(--bt-enable-lpd=false --enable-peer-exchange=false --enable-dht=false --summary-interval=0
  --console-log-level=warn --file-allocation=none)
for n in 3 4 5; do
  dir=$work/seeder$n
  mkdir -p "$dir"
  ln -f "$file" "$dir/file.bin"
  aria2c "${aria2_common[@]}" --interface=127.0.0.$n --listen-port="$(free_port)" --seed-ratio=0.0 \
    --bt-seed-unverified=true -d "$dir" "$torrent" >"$work/seeder$n.log" 2>&1 &
  pids+=($!)
done
urls=()
for i in 1 2 3 4; do start_mirror "m$i" "limit_rate $rate;"; urls+=("http://127.0.0.1:$port/file.bin"); done
for _ in $(seq 300); do
  [ "$(seeders_known)" -ge 3 ] && break
  sleep 0.1
done
[ "$(seeders_known)" -ge 3 ] || { echo "the tracker does not list the three seeders" >&2; exit 1; }
cat "$file" >/dev/null

out=$work/out/file.bin
rm -rf "$work/out" && mkdir -p "$work/out"
status=ok
/usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" timeout "$limit" "$get" -q --status-json -o "$out" \
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
  awk '{ b += $3; c[$4] = 1; r++ } END { printf "mirror served %.1f MiB in %d requests over %d connections\n",
    b / 1048576, r, length(c) }' "$work/nginx-m$i/access.log"
done
