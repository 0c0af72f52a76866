#!/usr/bin/env bash
# Checks that `veldmoor-get --limit 2048` holds the download near 2 MiB/s:
# the average rate over the 20 s after the first 5 s, from the from_sources
# figure of the --status-json lines. Exits 1 when it is more than 10% off.
#   bench/limit_check.sh [WORK_DIR]      (default /tmp/veldmoor-bench)
# veldmoor-get is $VELDMOOR_GET, else build/tools/veldmoor-get/veldmoor-get.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/veldmoor-bench}
get=${VELDMOOR_GET:-$root/build/tools/veldmoor-get/veldmoor-get}
nginx=${NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
limit_kib=2048
for tool in "$get" "$nginx"; do command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }; done

pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true' EXIT

mkdir -p "$work/www-limit" "$work/nginx-limit" "$work/out"
file=$work/www-limit/file.bin
[ -s "$file" ] || head -c $((128 << 20)) /dev/urandom >"$file"  # 5 times what 25 s at the limit need

dir=$work/nginx-limit
for attempt in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 40000))
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && continue  # taken
  cat >"$dir/nginx.conf" <<EOF
daemon off; master_process off; worker_processes 1;
pid $dir/nginx.pid; error_log $dir/error.log;
events { worker_connections 64; }
http {
  sendfile on; access_log off;
  client_body_temp_path $dir/body; proxy_temp_path $dir/proxy; fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi; scgi_temp_path $dir/scgi;
  server { listen 127.0.0.1:$port; root $work/www-limit; }
}
EOF
  "$nginx" -c "$dir/nginx.conf" -p "$dir" >"$dir/output.log" 2>&1 &
  nginx_pid=$!
  pids+=("$nginx_pid")
  up=no
  for _ in $(seq 50); do
    kill -0 "$nginx_pid" 2>/dev/null || break
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then up=yes; break; fi
    sleep 0.1
  done
  [ "$up" = yes ] && break
done
[ "$up" = yes ] || { echo "nginx did not start (see $dir)" >&2; exit 1; }

out=$work/out/limit.bin
status=$work/limit-status.txt
rm -f "$out" "$out".*
# Each status line is stamped with the time it arrived.
fifo=$work/limit-status.fifo
rm -f "$fifo" && mkfifo "$fifo"
while IFS= read -r line; do echo "$(date +%s.%N) $line"; done <"$fifo" >"$status" &
stamp_pid=$!
pids+=("$stamp_pid")
start=$(date +%s.%N)
"$get" --limit "$limit_kib" --status-json -q -o "$out" "http://127.0.0.1:$port/file.bin" >"$fifo" &
get_pid=$!
pids+=("$get_pid")
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
