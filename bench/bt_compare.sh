#!/usr/bin/env bash
# Downloads a 1 GiB file from three aria2c seeders over loopback, found through
# opentracker, with veldmoor-get (a BitTorrent task) and with aria2c, and
# prints wall time, CPU time (user+sys), peak RSS and whether the MD5 matches.
#   bench/bt_compare.sh [WORK_DIR]     (default /tmp/veldmoor-bt-bench)
# veldmoor-get is $VELDMOOR_GET, else build/tools/veldmoor-get/veldmoor-get.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/veldmoor-bt-bench}
get=${VELDMOOR_GET:-$root/build/tools/veldmoor-get/veldmoor-get}
piece=$((1 << 20))
limit=${RUN_LIMIT:-300}  # seconds a download may take before it counts as failed
for tool in "$get" opentracker aria2c python3 /usr/bin/time; do
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

mkdir -p "$work/seed" "$work/out"
file=$work/seed/file.bin
if [ ! -s "$file" ] || [ ! -s "$file.md5" ]; then
  echo "creating a 1 GiB random file in $work/seed (once)"
  head -c $((1 << 30)) /dev/urandom >"$file"
  md5sum <"$file" | cut -d' ' -f1 >"$file.md5"
fi
want=$(cat "$file.md5")

# The tracker's port goes into the torrent, so both are made on every run.
tracker_port=$(free_port)
announce="http://127.0.0.1:$tracker_port/announce"
torrent=$work/file.torrent
# make_torrent FILE PIECE_LENGTH ANNOUNCE OUT: a single-file torrent; prints the info hash.
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
with open(out, "wb") as f:
    f.write(b"d" + text(b"announce") + text(announce.encode()) + text(b"info") + info + b"e")
print(hashlib.sha1(info).hexdigest())
EOF
}
hash=$(make_torrent "$file" "$piece" "$announce" "$torrent")

# opentracker (Debian's) serves only whitelisted torrents and, started as root,
# changes root into its folder and drops to a user that must still read it.
tracker_dir=$work/opentracker
mkdir -p "$tracker_dir"
echo "$hash" >"$tracker_dir/whitelist"
chmod 755 "$tracker_dir"
chmod 644 "$tracker_dir/whitelist"
opentracker -i 127.0.0.1 -p "$tracker_port" -P "$tracker_port" -d "$tracker_dir" -w whitelist \
  >"$work/opentracker.log" 2>&1 &
pids+=($!)

# seeders_known: how many seeders the tracker counts (its scrape answer).
seeders_known() {
  python3 - "$tracker_port" "$hash" <<'EOF' 2>/dev/null || echo 0
import re, sys, urllib.parse, urllib.request
port, digest = sys.argv[1], bytes.fromhex(sys.argv[2])
url = "http://127.0.0.1:%s/scrape?info_hash=%s" % (port, urllib.parse.quote(digest))
found = re.search(rb"8:completei(\d+)e", urllib.request.urlopen(url, timeout=2).read())
print(int(found.group(1)) if found else 0)
EOF
}

# Peers at 127.0.0.1 are refused by veldmoor-get and the tracker lists a peer
# under the address it announced from, so every aria2c has an address of its own.
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
for _ in $(seq 300); do
  [ "$(seeders_known)" -ge 3 ] && break
  sleep 0.1
done
[ "$(seeders_known)" -ge 3 ] || { echo "the tracker does not list the three seeders (see $work/*.log)" >&2; exit 1; }
cat "$file" >/dev/null  # into the page cache, so that no seeder waits for the disk

out=$work/out/file.bin
echo "1 GiB, ${piece}-byte pieces, three aria2c seeders on loopback"
printf '%-14s %8s %8s %9s %8s  %s\n' tool "wall s" "cpu s" "RSS MiB" "MiB/s" md5
# measure TOOL COMMAND...: one timed run that writes $out.
measure() {
  local tool=$1 status=ok
  shift
  rm -rf "$work/out" && mkdir -p "$work/out"
  # GNU time's figures include those of the command that timeout runs.
  /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" timeout "$limit" "$@" >"$work/run.log" 2>&1 ||
    status="failed: exit $?, $(tail -1 "$work/run.log")"
  read -r wall user sys rss < <(tail -1 "$work/time.txt")
  local md5=missing
  [ -f "$out" ] && md5=$(md5sum <"$out" | cut -d' ' -f1)
  [ "$md5" = "$want" ] && md5=ok || md5="WRONG $md5"
  [ "$status" = ok ] || md5="$md5, $status"
  awk -v t="$tool" -v w="$wall" -v u="$user" -v s="$sys" -v r="$rss" -v m="$md5" 'BEGIN {
    printf "%-14s %8.2f %8.2f %9.1f %8.1f  %s\n", t, w, u + s, r / 1024, 1024 / (w > 0 ? w : 1), m }'
}

measure veldmoor-get "$get" -q -o "$out" -T "$torrent" --port "$(free_port)"
measure aria2c aria2c "${aria2_common[@]}" --interface=127.0.0.6 --listen-port="$(free_port)" --seed-time=0 \
  --allow-overwrite=true --auto-file-renaming=false -d "$work/out" "$torrent"
rm -rf "$work/out"
