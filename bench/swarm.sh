#!/usr/bin/env bash
# A flash crowd: N clients of one kind (veldmoor-get, aria2c or a libtorrent
# client) download one file together from nginx mirrors (the torrent's web
# seeds, or P2SP sources) and from each other, found through opentracker. Every
# client, seeder and mirror lives in its own network namespace behind a shaped
# line (tbf: down and up per client, one rate per mirror), all on one bridge;
# clients start SPACING seconds apart and keep seeding until all are done.
# Optionally some clients sit behind their own NAT router (nftables masquerade)
# and veldmoor-get then meets peers through veldmoor-natd. Root only.
#
#   bench/swarm.sh [options]
#     --client veldmoor|aria2c|libtorrent   (default veldmoor)
#     -n N            clients (12)          --size MIB      file size (256)
#     --piece KIB     piece length (512)    --down MIBPS    client line down (10)
#     --up MIBPS      client line up (4)    --mirror MIBPS  each mirror's line (20)
#     --mirrors M     mirrors (1)           --spacing S     seconds between arrivals (1)
#     --seeders K     aria2c seeders on client lines (0)
#     --nat K         the first K clients behind NAT routers (0)
#     --limit S       seconds before the run counts as failed (600)
#     --work DIR      (default /tmp/veldmoor-swarm; the file is kept there)
#
# Prints per client its start, the seconds it took, MiB that reached it from
# the mirrors and from peers (nftables counters on its line) and MiB that left
# its line (the bridge's counter);
# then what each mirror's interface sent (and its access log's body bytes), in
# copies of the file, and the line bound: the time the shaped lines need at
# least, max(N x size / (mirrors + every client's and seeder's upload),
# last arrival + size / down).
set -euo pipefail

client=veldmoor n=12 size_mib=256 piece_kib=512 down=10 up=4 mirror_rate=20 mirrors=1
spacing=1 seeders=0 nat=0 limit=600 work=/tmp/veldmoor-swarm
while [ $# -gt 0 ]; do
  case $1 in
    --client) client=$2 ;; -n) n=$2 ;; --size) size_mib=$2 ;; --piece) piece_kib=$2 ;;
    --down) down=$2 ;; --up) up=$2 ;; --mirror) mirror_rate=$2 ;; --mirrors) mirrors=$2 ;;
    --spacing) spacing=$2 ;; --seeders) seeders=$2 ;; --nat) nat=$2 ;; --limit) limit=$2 ;;
    --work) work=$2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  [ $# -ge 2 ] || { echo "$1 needs a value" >&2; exit 2; }
  shift 2
done
case $client in veldmoor|aria2c|libtorrent) ;; *) echo "unknown client $client" >&2; exit 2 ;; esac
for v in "$n" "$size_mib" "$piece_kib" "$mirrors" "$seeders" "$nat" "$limit"; do
  [[ $v =~ ^[0-9]+$ ]] || { echo "not a whole number: $v" >&2; exit 2; }
done
for v in "$down" "$up" "$mirror_rate" "$spacing"; do
  [[ $v =~ ^[0-9]+(\.[0-9]+)?$ ]] || { echo "not a number: $v" >&2; exit 2; }
done
[ "$n" -ge 1 ] && [ "$n" -le 200 ] && [ "$mirrors" -ge 1 ] && [ "$mirrors" -le 50 ] && [ "$nat" -le "$n" ] ||
  { echo "need 1 <= N <= 200, 1 <= mirrors <= 50, nat <= N" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "swarm.sh needs root (network namespaces)" >&2; exit 2; }

root=$(cd "$(dirname "$0")/.." && pwd)
get=${VELDMOOR_GET:-$root/build/tools/veldmoor-get/veldmoor-get}
natd=${VELDMOOR_NATD:-$root/build/tools/veldmoor-natd/veldmoor-natd}
nginx=${NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
system_python=/usr/bin/python3
for tool in "$nginx" opentracker nft tc ip python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done
case $client in
  veldmoor) [ -x "$get" ] || { echo "missing: $get (build veldmoor-get)" >&2; exit 2; }
            [ "$nat" = 0 ] || [ -x "$natd" ] || { echo "missing: $natd" >&2; exit 2; } ;;
  aria2c) command -v aria2c >/dev/null || { echo "missing: aria2c" >&2; exit 2; } ;;
  libtorrent) "$system_python" -c 'import libtorrent' 2>/dev/null ||
    { echo "missing: python3-libtorrent" >&2; exit 2; } ;;
esac
[ "$seeders" = 0 ] || command -v aria2c >/dev/null || { echo "missing: aria2c (seeders)" >&2; exit 2; }

# Names stay short (interface names hold 15 characters) and per run.
tag=sw$(( $$ % 1000 ))
core=${tag}core
namespaces=()
pids=()
cleanup() {
  local p ns
  # The clients first: a pipeline's reader only ends once its client has.
  for ns in "${namespaces[@]}"; do ip netns pids "$ns" 2>/dev/null | xargs -r kill 2>/dev/null || true; done
  sleep 0.5
  for ns in "${namespaces[@]}"; do ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null || true; done
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  # A namespace's veths and qdiscs go with it.
  for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

new_ns() { ip netns add "$1"; namespaces+=("$1"); ip -n "$1" link set lo up; }
in_ns() { local ns=$1; shift; ip netns exec "$ns" "$@"; }
# shape NS DEV MIBPS: a token bucket on DEV's way out.
shape() {
  local burst
  burst=$(awk -v r="$3" 'BEGIN { b = r * 1048576 / 100; printf "%d", (b < 65536 ? 65536 : b) }')
  ip -n "$1" link set "$2" gso_max_size 65536 2>/dev/null || true
  tc -n "$1" qdisc add dev "$2" root tbf rate "$(awk -v r="$3" 'BEGIN { printf "%d", r * 1048576 }')bps" \
    burst "$burst" latency 100ms
}
# attach NS ADDRESS/PREFIX DOWN UP IFNAME: a veth from NS to the bridge; DOWN
# and UP (MiB/s, 0 = unshaped) are the line's rates towards and from NS.
attach() {
  local ns=$1 address=$2 down_rate=$3 up_rate=$4 name=$5
  ip link add "$name" netns "$ns" type veth peer name "${name}b" netns "$core"
  ip -n "$ns" addr add "$address" dev "$name"
  ip -n "$ns" link set "$name" up
  ip -n "$core" link set "${name}b" master br0 up
  [ "$down_rate" = 0 ] || shape "$core" "${name}b" "$down_rate"
  [ "$up_rate" = 0 ] || shape "$ns" "$name" "$up_rate"
}
# count_bytes NS: nftables counters of what reaches NS from the mirrors and
# from anyone else.
count_bytes() {
  local mirror_set
  mirror_set=$(seq -s, -f '10.77.0.%g' 1 "$mirrors")
  in_ns "$1" nft -f - <<EOF
table ip swarm {
  counter from_mirrors {
  }
  counter from_peers {
  }
  chain arriving {
    type filter hook input priority filter;
    ip saddr { $mirror_set } counter name "from_mirrors"
    ip saddr != { $mirror_set } counter name "from_peers"
  }
}
EOF
}
counter_mib() {
  in_ns "$1" nft list counter ip swarm "$2" | awk '/bytes/ { for (i = 1; i < NF; i++) if ($i == "bytes") printf "%.1f", $(i + 1) / 1048576 }'
}

mkdir -p "$work"
rm -rf "$work/run" && mkdir -p "$work/run"
run=$work/run
file=$work/www/file.bin
if [ ! -s "$file.md5" ] || [ "$(stat -c %s "$file" 2>/dev/null)" != $((size_mib << 20)) ]; then
  mkdir -p "$work/www"
  head -c $((size_mib << 20)) /dev/urandom >"$file"
  md5sum <"$file" | cut -d' ' -f1 >"$file.md5"
fi
want=$(cat "$file.md5")
tracker=10.77.0.254
torrent=$run/file.torrent
hash=$(python3 - "$file" $((piece_kib << 10)) "http://$tracker:6969/announce" "$torrent" <<'EOF'
import hashlib, os, sys
path, piece, announce, out = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
def text(b): return str(len(b)).encode() + b":" + b
pieces = bytearray()
with open(path, "rb") as f:
    while block := f.read(piece):
        pieces += hashlib.sha1(block).digest()
info = (b"d" + text(b"length") + b"i%de" % os.path.getsize(path) + text(b"name")
        + text(b"file.bin") + text(b"piece length") + b"i%de" % piece
        + text(b"pieces") + text(bytes(pieces)) + b"e")
with open(out, "wb") as f:
    f.write(b"d" + text(b"announce") + text(announce.encode()) + text(b"info") + info + b"e")
print(hashlib.sha1(info).hexdigest())
EOF
)

# The core: a bridge, opentracker and veldmoor-natd, unshaped.
new_ns "$core"
ip -n "$core" link add br0 type bridge
ip -n "$core" addr add "$tracker/16" dev br0
ip -n "$core" link set br0 up
mkdir -p "$run/tracker"
echo "$hash" >"$run/tracker/whitelist"
chmod 755 "$work" "$run" "$run/tracker"; chmod 644 "$run/tracker/whitelist"
in_ns "$core" opentracker -i "$tracker" -p 6969 -P 6969 -d "$run/tracker" -w whitelist >"$run/tracker.log" 2>&1 &
pids+=($!)
nat_args=()
if [ "$nat" -gt 0 ] && [ "$client" = veldmoor ]; then
  in_ns "$core" "$natd" --bind "$tracker" --stats-seconds 0 3478 >"$run/natd.log" 2>&1 &
  pids+=($!)
  nat_args=(--nat-server "$tracker:3478")
fi

urls=()
for m in $(seq "$mirrors"); do
  ns=${tag}m$m
  new_ns "$ns"
  attach "$ns" "10.77.0.$m/16" 0 "$mirror_rate" "${tag}m$m"
  mkdir -p "$run/nginx$m"
  cat >"$run/nginx$m/nginx.conf" <<EOF
daemon off; master_process off; worker_processes 1;
pid $run/nginx$m/nginx.pid; error_log $run/nginx$m/error.log;
events { worker_connections 1024; }
http {
  sendfile on; log_format served '\$remote_addr \$status [\$http_range] \$body_bytes_sent \$connection \$connection_requests';
  access_log $run/nginx$m/access.log served;
  client_body_temp_path $run/nginx$m/body; proxy_temp_path $run/nginx$m/proxy; fastcgi_temp_path $run/nginx$m/fastcgi;
  uwsgi_temp_path $run/nginx$m/uwsgi; scgi_temp_path $run/nginx$m/scgi;
  server { listen 10.77.0.$m:80; root $work/www; }
}
EOF
  in_ns "$ns" "$nginx" -c "$run/nginx$m/nginx.conf" -p "$run/nginx$m" >"$run/nginx$m/output.log" 2>&1 &
  pids+=($!)
  urls+=("http://10.77.0.$m/file.bin")
done
for _ in $(seq 50); do
  in_ns "$core" bash -c "exec 3<>/dev/tcp/10.77.0.$mirrors/80" 2>/dev/null && in_ns "$core" bash -c "exec 3<>/dev/tcp/$tracker/6969" 2>/dev/null && break
  sleep 0.1
done

aria2_common=(--bt-enable-lpd=false --enable-peer-exchange=false --enable-dht=false --summary-interval=0
  --console-log-level=warn --file-allocation=none --seed-ratio=0.0 --bt-tracker-interval=5)

for s in $(seq "$seeders"); do
  ns=${tag}s$s
  new_ns "$ns"
  attach "$ns" "10.77.2.$s/16" "$down" "$up" "${tag}s$s"
  mkdir -p "$run/seeder$s"
  ln -f "$file" "$run/seeder$s/file.bin" 2>/dev/null || cp "$file" "$run/seeder$s/file.bin"
  in_ns "$ns" aria2c "${aria2_common[@]}" --listen-port=6881 --bt-seed-unverified=true -d "$run/seeder$s" "$torrent" \
    >"$run/seeder$s.log" 2>&1 &
  pids+=($!)
done

# A client's namespace; behind NAT, a router namespace between it and the bridge.
place_client() {
  local i=$1 ns=${tag}c$i router=${tag}r$i
  new_ns "$ns"
  if [ "$i" -le "$nat" ]; then
    new_ns "$router"
    attach "$router" "10.77.3.$i/16" 0 0 "${tag}r$i"
    in_ns "$router" sysctl -qw net.ipv4.ip_forward=1
    ip link add "${tag}c$i" netns "$ns" type veth peer name "${tag}l$i" netns "$router"
    ip -n "$router" addr add 192.168.$((i % 250)).1/24 dev "${tag}l$i"
    ip -n "$router" link set "${tag}l$i" up
    ip -n "$ns" addr add 192.168.$((i % 250)).2/24 dev "${tag}c$i"
    ip -n "$ns" link set "${tag}c$i" up
    ip -n "$ns" route add default via 192.168.$((i % 250)).1
    in_ns "$router" nft -f - <<EOF
table ip nat {
  chain post {
    type nat hook postrouting priority srcnat;
    oifname "${tag}r$i" masquerade
  }
}
EOF
    shape "$router" "${tag}l$i" "$down"
    shape "$ns" "${tag}c$i" "$up"
  else
    attach "$ns" "10.77.1.$i/16" "$down" "$up" "${tag}c$i"
  fi
  count_bytes "$ns"
}

cat >"$run/aria2-done.sh" <<'EOF'
#!/bin/sh
date +%s.%N >"$(dirname "$3")/done"
EOF
chmod +x "$run/aria2-done.sh"

# watch_for PATTERN DONE_FILE: stamps DONE_FILE when a line holds PATTERN, then
# drains the rest, so the client never blocks on its output.
watch_for() {
  local line
  while IFS= read -r line; do
    case $line in *"$1"*) date +%s.%N >"$2"; break ;; esac
  done
  cat >/dev/null
}

client_address() {
  if [ "$1" -le "$nat" ]; then echo "192.168.$(($1 % 250)).2"; else echo "10.77.1.$1"; fi
}

start_client() {
  local i=$1 ns=${tag}c$i dir=$run/c$i
  mkdir -p "$dir"
  date +%s.%N >"$dir/start"
  case $client in
    veldmoor)
      in_ns "$ns" "$get" -o "$dir/file.bin" -T "$torrent" --port 6881 --seed --status-json "${nat_args[@]}" \
        "${urls[@]}" 2>"$dir/err.log" | tee "$dir/status.log" | watch_for '"progress":10000' "$dir/done" & ;;
    aria2c)
      in_ns "$ns" aria2c "${aria2_common[@]}" --listen-port=6881 -d "$dir" \
        --on-bt-download-complete="$run/aria2-done.sh" -T "$torrent" "${urls[@]}" >"$dir/out.log" 2>&1 & ;;
    libtorrent)
      in_ns "$ns" "$system_python" "$root/bench/libtorrent_client.py" crowd "$(client_address "$i")" "$torrent" "$dir" \
        "${urls[@]}" \
        2>"$dir/err.log" | watch_for complete "$dir/done" & ;;
  esac
  pids+=($!)
}

for i in $(seq "$n"); do place_client "$i"; done
echo "$n $client clients, ${size_mib} MiB in ${piece_kib} KiB pieces, lines ${down}/${up} MiB/s," \
  "$mirrors mirror(s) at ${mirror_rate} MiB/s, $seeders seeder(s), $nat behind NAT, ${spacing} s apart" >&2
t0=$(date +%s.%N)
for i in $(seq "$n"); do
  start_client "$i"
  [ "$i" = "$n" ] || sleep "$spacing"
done
deadline=$(( $(date +%s) + limit ))
while :; do
  finished=0
  for i in $(seq "$n"); do [ -s "$run/c$i/done" ] && finished=$((finished + 1)); done
  [ "$finished" = "$n" ] && break
  if [ "$(date +%s)" -ge "$deadline" ]; then echo "not all done after $limit s ($finished of $n)" >&2; break; fi
  sleep 0.5
done
sleep 1  # let the mirrors log the requests that end now

echo
printf '%-4s %8s %8s %10s %10s %9s  %s\n' client "start s" "took s" "mirror MiB" "peers MiB" "sent MiB" md5
takes=()
for i in $(seq "$n"); do
  dir=$run/c$i ns=${tag}c$i
  start=$(awk -v s="$(cat "$dir/start")" -v t="$t0" 'BEGIN { printf "%.1f", s - t }')
  took=-
  [ -s "$dir/done" ] && took=$(awk -v d="$(cat "$dir/done")" -v s="$(cat "$dir/start")" 'BEGIN { printf "%.1f", d - s }')
  [ "$took" = - ] || takes+=("$start $took")
  md5=missing
  [ -f "$dir/file.bin" ] && md5=$(md5sum <"$dir/file.bin" | cut -d' ' -f1)
  [ "$md5" = "$want" ] && md5=ok
  # What left the line (the bridge's end of it), not what the client tried to send.
  line=${tag}c$i
  [ "$i" -le "$nat" ] && line=${tag}r$i
  sent=$(ip -n "$core" -s -j link show "${line}b" | python3 -c 'import json, sys; print("%.1f" % (json.load(sys.stdin)[0]["stats64"]["rx"]["bytes"] / 1048576))')
  printf '%-4s %8s %8s %10s %10s %9s  %s\n' "$i" "$start" "$took" "$(counter_mib "$ns" from_mirrors)" \
    "$(counter_mib "$ns" from_peers)" "$sent" "$md5"
done
echo
mirror_tx=0 mirror_logged=0
for m in $(seq "$mirrors"); do
  tx=$(ip -n "${tag}m$m" -s -j link show "${tag}m$m" | python3 -c 'import json, sys; print(json.load(sys.stdin)[0]["stats64"]["tx"]["bytes"])')
  logged=$(awk '{ b += $4 } END { printf "%.0f", b }' "$run/nginx$m/access.log")
  overlaps=$(python3 - "$run/nginx$m/access.log" <<'EOF'
import re, sys
# Ranges one client asked of this mirror that overlap another it asked, and
# the bytes the mirror sent one client twice (a range's body as logged, which
# counts what reached the socket, so an upper bound).
asked, sent = {}, {}
for line in open(sys.argv[1]):
    m = re.match(r"(\S+) \d+ \[bytes=(\d+)-(\d*)\] (\d+)", line)
    if m:
        start = int(m.group(2))
        asked.setdefault(m.group(1), []).append((start, int(m.group(3) or 1 << 62)))
        if int(m.group(4)) > 0:
            sent.setdefault(m.group(1), []).append((start, start + int(m.group(4)) - 1))
count = 0
for ranges in asked.values():
    ranges.sort()
    end = -1
    for a, b in ranges:
        if a <= end: count += 1
        end = max(end, b)
twice = 0
for ranges in sent.values():
    ranges.sort()
    end = -1
    for a, b in ranges:
        if a <= end: twice += min(b, end) - a + 1
        end = max(end, b)
print(count, "%.1f" % (twice / 1048576))
EOF
)
  awk -v m="$m" -v tx="$tx" -v l="$logged" -v s=$((size_mib << 20)) -v o="${overlaps% *}" -v t="${overlaps#* }" 'BEGIN {
    printf "mirror %d: interface sent %.1f MiB (%.2f copies), log body bytes %.1f MiB (%.2f copies), %s overlapping ranges, %s MiB sent twice to one client\n",
      m, tx / 1048576, tx / s, l / 1048576, l / s, o, t }'
  mirror_tx=$((mirror_tx + tx)) mirror_logged=$((mirror_logged + logged))
done
if [ "$client" = veldmoor ]; then
  # What the clients took from the mirrors: the payload their last status line counts.
  used=$(for i in $(seq "$n"); do tail -n 1 "$run/c$i/status.log"; done |
    python3 -c 'import json, sys; print(sum(json.loads(l).get("from_sources", 0) for l in sys.stdin if l.strip()))')
  awk -v u="$used" -v tx="$mirror_tx" -v l="$mirror_logged" 'BEGIN {
    printf "the clients used %.1f MiB from the mirrors: interface bytes per used byte %.3f, log body bytes per used byte %.3f\n",
      u / 1048576, (u ? tx / u : 0), (u ? l / u : 0) }'
fi
printf '%s\n' "${takes[@]}" | awk -v n="$n" -v s="$size_mib" -v m="$mirrors" -v mr="$mirror_rate" -v u="$up" \
  -v d="$down" -v k="$seeders" -v a="$spacing" '
  { took += $2; if ($1 + $2 > last) last = $1 + $2; done++ }
  END {
    supply = m * mr + (n + k) * u; if (supply > n * d) supply = n * d
    bound = n * s / supply; arrive = (n - 1) * a + s / d; if (arrive > bound) bound = arrive
    printf "done %d of %d: mean took %.1f s, last done %.1f s after the first start; line bound %.1f s (last / bound %.2f)\n",
      done, n, (done ? took / done : 0), last, bound, (bound ? last / bound : 0) }'
echo "(counters on the lines count IP headers too; the machine may be shared)"
