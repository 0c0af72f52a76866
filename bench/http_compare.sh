#!/usr/bin/env bash
# Downloads a 1 GiB file over loopback with veldmoor-get, curl and aria2c and
# prints wall time, CPU time (user+sys), peak RSS and whether the MD5 matches.
#   bench/http_compare.sh [WORK_DIR]     (default /tmp/veldmoor-bench)
# veldmoor-get is $VELDMOOR_GET, else build/tools/veldmoor-get/veldmoor-get.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/veldmoor-bench}
get=${VELDMOOR_GET:-$root/build/tools/veldmoor-get/veldmoor-get}
nginx=${NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
for tool in "$get" "$nginx" curl aria2c /usr/bin/time; do
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

# start_mirror NAME EXTRA_SERVER_CONFIG: an nginx over $work/www; sets $port.
start_mirror() {
  local dir=$work/nginx-$1 attempt
  mkdir -p "$dir"
  for attempt in 1 2 3 4 5; do
    port=$(free_port)
    cat >"$dir/nginx.conf" <<EOF
daemon off; master_process off; worker_processes 1;
pid $dir/nginx.pid; error_log $dir/error.log;
events { worker_connections 256; }
http {
  sendfile on; access_log off;
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
if [ ! -s "$file" ] || [ ! -s "$file.md5" ]; then
  echo "creating a 1 GiB random file in $work/www (once)"
  head -c $((1 << 30)) /dev/urandom >"$file"
  md5sum <"$file" | cut -d' ' -f1 >"$file.md5"
fi
want=$(cat "$file.md5")
cat "$file" >/dev/null  # into the page cache, so that no tool pays for the first read

start_mirror full ""; one="http://127.0.0.1:$port/file.bin"
four=()
for i in 1 2 3 4; do start_mirror "slow$i" "limit_rate 20m;"; four+=("http://127.0.0.1:$port/file.bin"); done

out=$work/out/file.bin
printf '%-28s %-12s %8s %8s %9s %8s  %s\n' case tool "wall s" "cpu s" "RSS MiB" "MiB/s" md5
# measure CASE TOOL COMMAND...: one timed run that writes $out.
measure() {
  local label=$1 tool=$2 status=ok
  shift 2
  rm -f "$out" "$out".*
  /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" "$@" >"$work/run.log" 2>&1 || status="failed ($(tail -1 "$work/run.log"))"
  read -r wall user sys rss < <(tail -1 "$work/time.txt")
  local md5=missing
  [ -f "$out" ] && md5=$(md5sum <"$out" | cut -d' ' -f1)
  [ "$md5" = "$want" ] && md5=ok || md5="WRONG $md5"
  [ "$status" = ok ] || md5="$md5, $status"
  awk -v c="$label" -v t="$tool" -v w="$wall" -v u="$user" -v s="$sys" -v r="$rss" -v m="$md5" 'BEGIN {
    printf "%-28s %-12s %8.2f %8.2f %9.1f %8.1f  %s\n", c, t, w, u + s, r / 1024, 1024 / (w > 0 ? w : 1), m }'
  rm -f "$out" "$out".*
}

measure "one mirror" veldmoor-get "$get" -q -o "$out" "$one"
measure "one mirror" curl curl -sS -o "$out" "$one"
measure "one mirror" aria2c aria2c -q -x1 -s1 --file-allocation=none --allow-overwrite=true \
  --auto-file-renaming=false -d "$work/out" -o file.bin "$one"
# Four connections, one per mirror, for both (nginx limits each connection to
# 20 MiB/s); aria2c counts connections per host, and every mirror is 127.0.0.1.
measure "four mirrors, 20 MiB/s each" veldmoor-get "$get" -q -o "$out" "${four[@]}"
measure "four mirrors, 20 MiB/s each" aria2c aria2c -q -x4 -s4 --file-allocation=none --allow-overwrite=true \
  --auto-file-renaming=false -d "$work/out" -o file.bin "${four[@]}"
