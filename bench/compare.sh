#!/usr/bin/env bash
# veldmoor-get beside curl, aria2c and a libtorrent leecher on one loopback
# world, built once: a random file ($SIZE_MIB, default 1024) on an unlimited
# nginx and four nginx limited to 20 MiB/s per connection, opentracker, and
# three seeders of two implementations (aria2c on 127.0.0.3 and .4, libtorrent
# on .5). Prints one table of wall time, CPU time (user+sys), peak RSS, rate and
# the rate as a share of the best client in the same case (as root also the
# BitTorrent case over IPv6, in a network namespace), then the
# kill-and-resume case: each client is killed with SIGKILL after $KILL_AFTER
# seconds (default 10) of a download from a mirror limited to 40 MiB/s, run
# again to the end, and what the mirror sent beyond the file's size is
# printed: an upper bound of the bytes fetched twice.
#   bench/compare.sh [WORK_DIR]     (default /tmp/veldmoor-compare)
set -euo pipefail
work=${1:-/tmp/veldmoor-compare}
source "$(dirname "$0")/world.sh"
size_mib=${SIZE_MIB:-1024}
kill_after=${KILL_AFTER:-10}
require "$get" "$nginx" curl aria2c opentracker python3 /usr/bin/time "$system_python"
"$system_python" -c 'import libtorrent' 2>/dev/null ||
  { echo "missing: python3-libtorrent (apt-get install python3-libtorrent)" >&2; exit 2; }

mkdir -p "$work/www"
file=$work/www/file.bin
make_file "$file" "$size_mib"
want=$(cat "$file.md5")
piece=$((1 << 20))
tracker_port=$(free_port)
torrent=$work/file.torrent
hash=$(make_torrent "$file" "$piece" "http://127.0.0.1:$tracker_port/announce" "$torrent")
# The same pieces without a tracker: the one-mirror torrent case finds no peers.
make_torrent "$file" "$piece" "" "$work/alone.torrent" >/dev/null
start_tracker "$tracker_port" "$hash"
start_aria2_seeder 3 "$file" "$torrent"
start_aria2_seeder 4 "$file" "$torrent"
start_libtorrent_seeder 5 "$file" "$torrent"
start_mirror full "$work/www" ""; one="http://127.0.0.1:$port/file.bin"
four=()
for i in 1 2 3 4; do start_mirror "slow$i" "$work/www" "limit_rate 20m;"; four+=("http://127.0.0.1:$port/file.bin"); done
start_mirror resume "$work/www" "limit_rate 40m;"; resume_url="http://127.0.0.1:$port/file.bin"
wait_for_seeders 3

out=$work/out/file.bin
rows=$work/rows.txt
: >"$rows"
# run CASE CLIENT COMMAND...: one measured run, recorded for the table.
run() {
  local case=$1 client=$2
  shift 2
  measure "$out" "$want" "$@"
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$case" "$client" "$wall" "$cpu" "$rss_mib" "$rate" "$check" >>"$rows"
  printf '  %-30s %-13s %6.1f MiB/s  %s\n' "$case" "$client" "$rate" "$check" >&2
}
aria2_leech=("${aria2_common[@]}" --seed-time=0 --allow-overwrite=true --auto-file-renaming=false -d "$work/out")
aria2_http=(-q --file-allocation=none --allow-overwrite=true --auto-file-renaming=false -d "$work/out" -o file.bin)

echo "running every case on ${size_mib} MiB (progress on stderr)" >&2
# One download that is not counted: on a fresh VM the first GiB written costs
# a second or more of system time, whichever client writes it.
measure "$out" "$want" curl -sS -o "$out" "$one"
run "one mirror" veldmoor-get "$get" -q -o "$out" "$one"
run "one mirror" curl curl -sS -o "$out" "$one"
run "one mirror" aria2c aria2c "${aria2_http[@]}" -x1 -s1 "$one"
run "one mirror, torrent" veldmoor-get "$get" -q -o "$out" -T "$work/alone.torrent" --p2p off "$one"
# aria2c takes the mirror as a web seed of the torrent and checks every piece too.
run "one mirror, torrent" aria2c aria2c "${aria2_leech[@]}" --interface=127.0.0.6 --listen-port="$(free_port)" \
  -T "$work/alone.torrent" "$one"
# Four connections, one per mirror, for both (nginx limits each connection).
run "four mirrors at 20 MiB/s" veldmoor-get "$get" -q -o "$out" "${four[@]}"
run "four mirrors at 20 MiB/s" aria2c aria2c "${aria2_http[@]}" -x4 -s4 "${four[@]}"
run "BitTorrent, 3 seeders" veldmoor-get "$get" -q -o "$out" -T "$torrent" --port "$(free_port)"
run "BitTorrent, 3 seeders" aria2c aria2c "${aria2_leech[@]}" --interface=127.0.0.6 --listen-port="$(free_port)" "$torrent"
run "BitTorrent, 3 seeders" libtorrent "$system_python" "$libtorrent_client" leech 127.0.0.7 "$torrent" "$work/out"
run "torrent + four mirrors" veldmoor-get "$get" -q -o "$out" -T "$torrent" --port "$(free_port)" "${four[@]}"
run "torrent + four mirrors" aria2c aria2c "${aria2_leech[@]}" --interface=127.0.0.6 --listen-port="$(free_port)" \
  -T "$torrent" "${four[@]}"
run "torrent + four mirrors" libtorrent "$system_python" "$libtorrent_client" leech 127.0.0.7 "$torrent" "$work/out" "${four[@]}"

# The BitTorrent case again over IPv6 (as root): a network namespace whose
# loopback has an IPv6 address for each program, a tracker that answers
# "peers6", and the same three seeders on IPv6.
if [ "$(id -u)" = 0 ]; then
  ns=vmbench$$
  v6=fd00:7665:6c64
  ip netns add "$ns"
  trap 'world_stop; ip netns del "$ns" 2>/dev/null || true' EXIT
  ip -n "$ns" link set lo up
  for n in 3 4 5 6 7; do ip -n "$ns" addr add "$v6::$n/128" dev lo nodad; done
  in_ns=(ip netns exec "$ns")
  "${in_ns[@]}" "$system_python" "$bench_root/tests/support/dual_tracker.py" "::" >"$work/tracker6.log" 2>&1 &
  world_pids+=($!)
  for _ in $(seq 50); do grep -q listening "$work/tracker6.log" && break; sleep 0.1; done
  tracker6_port=$(awk '/listening/ { print $2 }' "$work/tracker6.log")
  torrent6=$work/file6.torrent
  make_torrent "$file" "$piece" "http://[::1]:$tracker6_port/announce" "$torrent6" >/dev/null
  for n in 3 4; do
    mkdir -p "$work/seeder6-$n" && ln -f "$file" "$work/seeder6-$n/file.bin"
    "${in_ns[@]}" aria2c "${aria2_common[@]}" --interface="$v6::$n" --listen-port="$(free_port)" --seed-ratio=0.0 \
      --bt-seed-unverified=true -d "$work/seeder6-$n" "$torrent6" >"$work/seeder6-$n.log" 2>&1 &
    world_pids+=($!)
  done
  mkdir -p "$work/seeder6-5" && ln -f "$file" "$work/seeder6-5/file.bin"
  "${in_ns[@]}" "$system_python" "$libtorrent_client" seed "[$v6::5]" "$torrent6" "$work/seeder6-5" \
    >"$work/seeder6-5.log" 2>&1 &
  world_pids+=($!)
  for _ in $(seq 300); do
    [ "$(awk '/announce http v6/ && $NF == 0 { print $4 }' "$work/tracker6.log" | sort -u | wc -l)" -ge 3 ] && break
    sleep 0.1
  done
  run "BitTorrent over IPv6" veldmoor-get "${in_ns[@]}" "$get" -q -o "$out" -T "$torrent6" --port "$(free_port)"
  run "BitTorrent over IPv6" aria2c "${in_ns[@]}" aria2c "${aria2_leech[@]}" --interface="$v6::6" \
    --listen-port="$(free_port)" "$torrent6"
  run "BitTorrent over IPv6" libtorrent "${in_ns[@]}" "$system_python" "$libtorrent_client" leech "[$v6::7]" \
    "$torrent6" "$work/out"
else
  echo "the IPv6 case needs root (a network namespace); left out" >&2
fi

echo
echo "${size_mib} MiB on loopback; share = rate / the best rate in the case (one mirror, torrent: / curl's one-mirror rate)"
printf '%-26s %-13s %7s %7s %8s %8s %6s  %s\n' case client "wall s" "cpu s" "RSS MiB" "MiB/s" share check
awk -F'\t' '
  { n++; c[n] = $1; t[n] = $2; w[n] = $3; u[n] = $4; r[n] = $5; v[n] = $6; k[n] = $7
    if ($7 == "ok" && $6 > best[$1]) best[$1] = $6
    if ($1 == "one mirror" && $2 == "curl") best["one mirror, torrent"] = $6 }
  END { for (i = 1; i <= n; i++) printf "%-26s %-13s %7.2f %7.2f %8.1f %8.1f %6.2f  %s\n",
          c[i], t[i], w[i], u[i], r[i], v[i], (best[c[i]] > 0 ? v[i] / best[c[i]] : 0), k[i] }' "$rows"
echo "(libtorrent maps the file into memory, so its resident size is not comparable)"

# killed_and_resumed CLIENT COMMAND...: kill after $kill_after s, run again to
# the end; prints what the mirror sent beyond the file's size.
killed_and_resumed() {
  local client=$1 before pid
  shift
  rm -rf "$work/out" && mkdir -p "$work/out"
  before=$(mirror_sent resume)
  "$@" >"$work/first.log" 2>&1 &
  pid=$!
  sleep "$kill_after"
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  timeout "$run_limit" "$@" >"$work/second.log" 2>&1 || true
  local md5=missing sent
  [ -f "$out" ] && md5=$(md5sum <"$out" | cut -d' ' -f1)
  [ "$md5" = "$want" ] && md5=ok || md5="WRONG ${md5:0:8}"
  sent=$(mirror_sent resume)
  awk -v c="$client" -v s="$((sent - before))" -v t=$((size_mib << 20)) -v m="$md5" 'BEGIN {
    printf "%-28s %14.1f  %s\n", c, (s - t) / 1048576, m }'
}
echo
echo "killed with SIGKILL after ${kill_after} s of a download from one mirror at 40 MiB/s, run again"
printf '%-28s %14s  %s\n' client "MiB twice" md5
killed_and_resumed "veldmoor-get" "$get" -q -o "$out" "$resume_url"
killed_and_resumed "veldmoor-get, torrent" "$get" -q -o "$out" -T "$work/alone.torrent" --p2p off "$resume_url"
killed_and_resumed "aria2c" aria2c "${aria2_http[@]}" -x1 -s1 "$resume_url"
rm -rf "$work/out"
