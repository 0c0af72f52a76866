#!/usr/bin/env bash
# Kills veldmoor-get with SIGKILL part-way through a download and runs it again:
# prints how many bytes were fetched twice, as an upper bound: what the mirror
# sent beyond the file's size. One nginx mirror limited to $MIRROR_RATE (default
# 40m) serves a random file of $SIZE_MIB (default 512); with TORRENT=1 the task
# has a torrent of the file too (1 MiB pieces, no tracker). Kill after $KILL_AFTER
# seconds (default 5).
#   bench/kill_resume.sh [WORK_DIR]     (default /tmp/veldmoor-kill-resume)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/veldmoor-kill-resume}
get=${VELDMOOR_GET:-$root/build/tools/veldmoor-get/veldmoor-get}
nginx=${NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
size_mib=${SIZE_MIB:-512}
rate=${MIRROR_RATE:-40m}
kill_after=${KILL_AFTER:-5}
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true' EXIT
free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
  done
}
mkdir -p "$work/www" "$work/nginx"
file=$work/www/file.bin
if [ ! -s "$file" ] || [ "$(stat -c %s "$file")" != $((size_mib << 20)) ]; then
  head -c $((size_mib << 20)) /dev/urandom >"$file"
  md5sum <"$file" | cut -d' ' -f1 >"$file.md5"
fi
port=$(free_port)
cat >"$work/nginx/nginx.conf" <<EOF
daemon off; master_process off; worker_processes 1;
pid $work/nginx/nginx.pid; error_log $work/nginx/error.log;
events { worker_connections 256; }
http {
  sendfile on; access_log $work/nginx/access.log;
  client_body_temp_path $work/nginx/body; proxy_temp_path $work/nginx/proxy; fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi; scgi_temp_path $work/nginx/scgi;
  server { listen 127.0.0.1:$port; root $work/www; limit_rate $rate; }
}
EOF
"$nginx" -c "$work/nginx/nginx.conf" -p "$work/nginx" >"$work/nginx/output.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
args=()
if [ "${TORRENT:-0}" = 1 ]; then
  python3 - "$file" $((1 << 20)) "$work/file.torrent" <<'EOF'
import hashlib, os, sys
path, piece, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
def text(b): return str(len(b)).encode() + b":" + b
pieces = bytearray()
with open(path, "rb") as f:
    while block := f.read(piece):
        pieces += hashlib.sha1(block).digest()
info = (b"d" + text(b"length") + b"i%de" % os.path.getsize(path) + text(b"name")
        + text(os.path.basename(path).encode()) + text(b"piece length") + b"i%de" % piece
        + text(b"pieces") + text(bytes(pieces)) + b"e")
with open(out, "wb") as f:
    f.write(b"d" + text(b"announce") + text(b"http://127.0.0.1:9/announce") + text(b"info") + info + b"e")
EOF
  args=(-T "$work/file.torrent" --p2p off)
fi
rm -rf "$work/out" && mkdir -p "$work/out"
: >"$work/nginx/access.log"
out=$work/out/file.bin
"$get" -q --status-json -o "$out" "${args[@]}" "http://127.0.0.1:$port/file.bin" >"$work/first.jsonl" 2>"$work/first.log" &
pid=$!
sleep "$kill_after"
kill -KILL "$pid"; wait "$pid" 2>/dev/null || true
"$get" -q --status-json -o "$out" "${args[@]}" "http://127.0.0.1:$port/file.bin" >"$work/second.jsonl" 2>"$work/second.log"
md5=$(md5sum <"$out" | cut -d' ' -f1)
[ "$md5" = "$(cat "$file.md5")" ] && md5=ok || md5="WRONG"
sleep 1  # nginx logs a connection when it closes
served=$(awk '{ b += $10 } END { print b + 0 }' "$work/nginx/access.log")
echo "md5 $md5"
awk -v v="$served" -v t=$((size_mib << 20)) 'BEGIN {
  printf "the mirror sent %.1f MiB in all: at most %.1f MiB fetched twice (bytes sent but never read count too)\n",
    v / 1048576, (v - t) / 1048576 }'
