# The loopback world every benchmark builds: a random file, nginx mirrors,
# torrents, opentracker, seeders, and one timed run of a client. Sourced by the
# scripts in bench/ after they set $work; needs bash, python3 and GNU time.

bench_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
get=${VELDMOOR_GET:-$bench_root/build/tools/veldmoor-get/veldmoor-get}
nginx=${NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
# Debian's libtorrent binding is for the system python, not one on $PATH.
system_python=/usr/bin/python3
run_limit=${RUN_LIMIT:-300}  # seconds a run may take before it counts as failed

world_pids=()
world_stop() {
  local p
  for p in "${world_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap world_stop EXIT

require() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
  done
}

free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
  done
}

# make_file PATH SIZE_MIB: a random file and PATH.md5, kept between runs; then
# read into the page cache, so no client pays for the first read.
make_file() {
  local path=$1 size=$(($2 << 20))
  mkdir -p "$(dirname "$path")"
  if [ ! -s "$path.md5" ] || [ "$(stat -c %s "$path" 2>/dev/null)" != "$size" ]; then
    echo "creating a $2 MiB random file $path (kept for later runs)" >&2
    head -c "$size" /dev/urandom >"$path"
    md5sum <"$path" | cut -d' ' -f1 >"$path.md5"
  fi
  cat "$path" >/dev/null
}

# start_mirror NAME ROOT EXTRA_SERVER_CONFIG: an nginx serving ROOT; its access
# log has a line per request: status, [range asked], body bytes sent,
# connection number, request number on that connection. Sets $port.
start_mirror() {
  local dir=$work/nginx-$1 root=$2 extra=$3 attempt
  mkdir -p "$dir"
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
  server { listen 127.0.0.1:$port; root $root; $extra }
}
EOF
    : >"$dir/access.log"
    "$nginx" -c "$dir/nginx.conf" -p "$dir" >"$dir/output.log" 2>&1 &
    world_pids+=($!)
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

# mirror_sent NAME: bytes the mirror has sent since it started (nginx logs a
# request when it ends, so give it a moment after the client stops).
mirror_sent() {
  sleep 0.5
  awk '{ b += $3 } END { printf "%.0f\n", b }' "$work/nginx-$1/access.log"
}

# make_torrent FILE PIECE_LENGTH ANNOUNCE OUT: a single-file torrent (no
# announce key when ANNOUNCE is empty); prints the info hash.
make_torrent() {
  python3 - "$@" <<'EOF'
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
head = text(b"announce") + text(announce.encode()) if announce else b""
with open(out, "wb") as f:
    f.write(b"d" + head + text(b"info") + info + b"e")
print(hashlib.sha1(info).hexdigest())
EOF
}

# start_tracker PORT HASH: opentracker on 127.0.0.1:PORT serving HASH. Debian's
# serves only whitelisted torrents and, started as root, changes root into its
# folder and drops to a user that must still read it.
start_tracker() {
  local dir=$work/opentracker
  tracker_port=$1 tracker_hash=$2
  mkdir -p "$dir"
  echo "$tracker_hash" >"$dir/whitelist"
  chmod 755 "$dir"; chmod 644 "$dir/whitelist"
  opentracker -i 127.0.0.1 -p "$tracker_port" -P "$tracker_port" -d "$dir" -w whitelist \
    >"$work/opentracker.log" 2>&1 &
  world_pids+=($!)
}

# seeders_known: how many seeders the tracker counts (its scrape answer).
seeders_known() {
  python3 - "$tracker_port" "$tracker_hash" <<'EOF' 2>/dev/null || echo 0
import re, sys, urllib.parse, urllib.request
port, digest = sys.argv[1], bytes.fromhex(sys.argv[2])
url = "http://127.0.0.1:%s/scrape?info_hash=%s" % (port, urllib.parse.quote(digest))
found = re.search(rb"8:completei(\d+)e", urllib.request.urlopen(url, timeout=2).read())
print(int(found.group(1)) if found else 0)
EOF
}

wait_for_seeders() {
  for _ in $(seq 300); do
    [ "$(seeders_known)" -ge "$1" ] && return 0
    sleep 0.1
  done
  echo "the tracker does not list $1 seeders (see $work/*.log)" >&2
  exit 1
}

aria2_common=(--bt-enable-lpd=false --enable-peer-exchange=false --enable-dht=false --summary-interval=0
  --console-log-level=warn --file-allocation=none)

# start_aria2_seeder N FILE TORRENT: an aria2c seeding on 127.0.0.N. Peers at
# 127.0.0.1 are refused by veldmoor-get and the tracker lists a peer under the
# address it announced from, so every seeder has an address of its own.
start_aria2_seeder() {
  local dir=$work/seeder$1
  mkdir -p "$dir"
  ln -f "$2" "$dir/$(basename "$2")"
  aria2c "${aria2_common[@]}" --interface="127.0.0.$1" --listen-port="$(free_port)" --seed-ratio=0.0 \
    --bt-seed-unverified=true -d "$dir" "$3" >"$work/seeder$1.log" 2>&1 &
  world_pids+=($!)
}

# libtorrent_client.py seeds or leeches with Debian's libtorrent binding.
libtorrent_client=$bench_root/bench/libtorrent_client.py

start_libtorrent_seeder() {
  local dir=$work/seeder$1
  mkdir -p "$dir"
  ln -f "$2" "$dir/$(basename "$2")"
  "$system_python" "$libtorrent_client" seed "127.0.0.$1" "$3" "$dir" >"$work/seeder$1.log" 2>&1 &
  world_pids+=($!)
}

# measure OUT WANT_MD5 COMMAND...: one timed run that should write OUT; sets
# wall, cpu, rss_mib, rate (MiB/s of the file's size) and check ("ok" or why not).
measure() {
  local out=$1 want=$2 status=ok size user sys rss md5=missing
  shift 2
  rm -rf "$(dirname "$out")" && mkdir -p "$(dirname "$out")"
  # GNU time's figures include those of the command that timeout runs.
  /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" timeout "$run_limit" "$@" >"$work/run.log" 2>&1 ||
    status="exit $?: $(tail -1 "$work/run.log")"
  read -r wall user sys rss < <(tail -1 "$work/time.txt")
  [ -f "$out" ] && md5=$(md5sum <"$out" | cut -d' ' -f1)
  if [ "$md5" = "$want" ]; then check=ok; else check="md5 ${md5:0:8}, $status"; fi
  size=$(stat -c %s "$out" 2>/dev/null || echo 0)
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  rss_mib=$(awk -v r="$rss" 'BEGIN { printf "%.1f", r / 1024 }')
  rate=$(awk -v b="$size" -v w="$wall" 'BEGIN { printf "%.1f", b / 1048576 / (w > 0 ? w : 1) }')
}
