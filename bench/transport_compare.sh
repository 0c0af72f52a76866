#!/bin/sh
# The UDP stream transport against TCP between two veldmoor-get on two network
# namespaces joined by one link, without loss and with LOSS % of the packets
# dropped on arrival at each end (nftables). The seeder (10.9.0.1) also runs
# opentracker and veldmoor-natd; with --nat-server the leecher (10.9.0.2)
# reaches it over the transport, without it over TCP. Root only.
# Usage: transport_compare.sh [SIZE_MIB] [LOSS...]   (defaults: 128, 0 5)
set -e
size=${1:-128}
shift 2>/dev/null || true
losses=${*:-"0 5"}
build=$(cd "$(dirname "$0")/.." && pwd)/build
get=$build/tools/veldmoor-get/veldmoor-get
natd=$build/tools/veldmoor-natd/veldmoor-natd
work=$(mktemp -d /tmp/veldmoor-transport-bench.XXXXXX)
a=vmXa$$
b=vmXb$$
pids=""

cleanup() {
    for pid in $pids; do kill "$pid" 2>/dev/null || true; done
    ip netns del "$a" 2>/dev/null || true
    ip netns del "$b" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$a"
ip netns add "$b"
ip link add "x$a" type veth peer name "x$b"
ip link set "x$a" netns "$a"
ip link set "x$b" netns "$b"
ip -n "$a" addr add 10.9.0.1/24 dev "x$a"
ip -n "$b" addr add 10.9.0.2/24 dev "x$b"
for ns in "$a" "$b"; do
    ip -n "$ns" link set lo up
    ip -n "$ns" link set "x$ns" up
    ip netns exec "$ns" nft add table ip bench
    ip netns exec "$ns" nft add chain ip bench arriving "{ type filter hook input priority filter; }"
done

python3 - "$work" "$size" <<'PY'
import hashlib, os, sys
work, size = sys.argv[1], int(sys.argv[2]) << 20
data = os.urandom(size)
os.makedirs(work + "/seed"); os.makedirs(work + "/tracker")
open(work + "/seed/file.bin", "wb").write(data)
pl = 256 * 1024
pieces = b"".join(hashlib.sha1(data[i:i + pl]).digest() for i in range(0, size, pl))
def b(x):
    if isinstance(x, int): return b"i%de" % x
    if isinstance(x, str): x = x.encode()
    if isinstance(x, bytes): return b"%d:" % len(x) + x
    return b"d" + b"".join(b(k) + b(x[k]) for k in sorted(x)) + b"e"
info = {"length": size, "name": "file.bin", "piece length": pl, "pieces": pieces}
open(work + "/t.torrent", "wb").write(b({"announce": "http://10.9.0.1:6969/announce", "info": info}))
open(work + "/tracker/whitelist", "w").write(hashlib.sha1(b(info)).hexdigest() + "\n")
open(work + "/md5", "w").write(hashlib.md5(data).hexdigest())
PY
chmod 755 "$work" "$work/tracker"
chmod 644 "$work/tracker/whitelist"

ip netns exec "$a" opentracker -i 10.9.0.1 -p 6969 -P 6969 -d "$work/tracker" -w whitelist >/dev/null 2>&1 &
pids="$pids $!"
ip netns exec "$a" "$natd" --bind 10.9.0.1 --stats-seconds 0 82 >/dev/null 2>&1 &
pids="$pids $!"
ip netns exec "$a" "$get" -o "$work/seed/file.bin" -T "$work/t.torrent" --p2p on --port 6881 --seed \
    --nat-server 10.9.0.1:82 --status-json >/dev/null 2>"$work/seed.err" &
pids="$pids $!"
while ! grep -q seeding "$work/seed.err" 2>/dev/null; do sleep 0.2; done

# Each status line with the time it arrived, so the rate is not rounded to
# the once-a-second status period.
stamp() {
    python3 -u -c 'import sys, time
for line in sys.stdin: print("%.3f %s" % (time.time(), line), end="")'
}

run() { # transport|tcp loss
    for ns in "$a" "$b"; do
        ip netns exec "$ns" nft flush chain ip bench arriving
        if [ "$2" -gt 0 ]; then
            ip netns exec "$ns" nft add rule ip bench arriving iifname "x$ns" numgen random mod 100 "<" "$2" drop
        fi
    done
    rm -rf "$work/leech"
    nat=""
    if [ "$1" = transport ]; then nat="--nat-server 10.9.0.1:82"; fi
    start=$(date +%s.%N)
    # shellcheck disable=SC2086
    { ip netns exec "$b" "$get" -o "$work/leech/file.bin" -T "$work/t.torrent" --p2p on --port 6882 $nat \
        --status-json 2>/dev/null || true; } | stamp >"$work/leech.out"
    end=$(date +%s.%N)
    md5=$(md5sum "$work/leech/file.bin" 2>/dev/null | cut -d' ' -f1)
    python3 - "$1" "$2" "$start" "$end" "$size" "$md5" "$(cat "$work/md5")" "$work/leech.out" <<'PY'
import json, sys
kind, loss, start, end, size, md5, want, out = sys.argv[1:]
stamped = [l.split(" ", 1) for l in open(out)]
lines = [(float(t), json.loads(l)) for t, l in stamped if l.startswith("{")]
mib = int(size)
total = mib * 1048576
# The rate while data moved, from the stamped status lines (about one a
# second): bytes from peers between the first line that shows some and the
# last that does not show all, over the time between them. Runs shorter
# than that use the first such line and the leecher's exit.
moving = [(t, l["from_peers"]) for t, l in lines if 0 < l["from_peers"] < total]
if len(moving) >= 3:
    (t0, b0), (t1, b1) = moving[0], moving[-1]
    rate = (b1 - b0) / 1048576 / (t1 - t0)
elif moving:
    first, got = moving[0]
    rate = (total - got) / 1048576 / max(float(end) - first, 0.001)
else:
    rate = 0.0
print(f"{kind:9} loss {loss:>2} %: wall {float(end) - float(start):6.1f} s, {rate:7.2f} MiB/s, "
      f"md5 {'ok' if md5 == want else 'WRONG'}")
PY
}

echo "$size MiB, one link, loss on arrival at both ends"
for loss in $losses; do
    run tcp "$loss"
    run transport "$loss"
done
