#!/usr/bin/env bash
# Release rehearsal: a publisher's whole path, on this machine.
#
#   release_rehearsal.sh SOURCE_ROOT VELDMOOR_PUBLISH VELDMOOR_PROFILE_BUILDER
#
# Makes a 64 MiB installer and a release file for loopback hosts, publishes
# it, builds the programs from the release (SOURCE_ROOT/build-rehearsal, kept
# so the next run is incremental), builds and lints both packages, installs
# them, starts the collector and the rendezvous server as their units would
# run them, brings nginx and opentracker up from the generated configuration
# with one seeder, and runs the installed veldmoor-cli: it must download from
# the mirrors and the seeder, match the MD5, run the installer, and show up
# in the installed collector's report. Both packages are purged at the end,
# also when a step fails, and nothing of them may be left.
#
# Without systemd running, a unit is run as its ExecStart line with its
# EnvironmentFile, as the unprivileged user nobody (standing for the dynamic
# user), with the unit's ambient capabilities, in its state folder
# /var/lib/NAME owned by that user (systemd would keep it under
# /var/lib/private; the package's purge removes both).
#
# Exit 0 passed, 1 failed, 77 skipped (not root: it installs packages).
set -euo pipefail

root=$1
publish=$2
profile_builder=$3
build="$root/build-rehearsal"
installer_size=$((64 << 20))
file_name=Rehearsal_setup.run

note() { echo "rehearsal: $*" >&2; }
fail() { echo "rehearsal: FAILED: $*" >&2; exit 1; }

if [ "$(id -u)" -ne 0 ]; then
  note "skipped: the rehearsal installs and purges packages, which needs root"
  exit 77
fi
for program in cmake cpack ninja nginx opentracker lintian dpkg-deb setpriv openssl curl python3 ss md5sum; do
  command -v "$program" >/dev/null || fail "$program is not installed (scripts/setup.sh)"
done
for package in veldmoor veldmoor-servers; do
  if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok'; then
    fail "$package is already installed here; the rehearsal would remove it"
  fi
done

work=$(mktemp -d /tmp/veldmoor-rehearsal.XXXXXX)
# opentracker drops to its own user inside its folder; it must be able to get there.
chmod 755 "$work"
mkdir -p "$work/logs" "$work/input" "$work/www" "$work/tracker" "$work/nginx" "$work/home" "$work/save"
pids=()
started_at=$SECONDS

stop_processes() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
}

purge_packages() {
  local package installed=()
  for package in veldmoor veldmoor-servers; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok\|config-files' && installed+=("$package")
  done
  if [ ${#installed[@]} -gt 0 ]; then
    [ -d /run/systemd/system ] && systemctl stop veldmoor-natd veldmoor-statsd 2>/dev/null || true
    dpkg --purge "${installed[@]}" >"$work/logs/purge.log" 2>&1 || { cat "$work/logs/purge.log" >&2; return 1; }
  fi
}

cleanup() {
  local status=$?
  trap - EXIT
  stop_processes
  if [ "$status" -ne 0 ]; then
    for log in "$work"/logs/*; do
      [ -s "$log" ] || continue
      echo "----- $(basename "$log") (last lines)" >&2
      tail -n 15 "$log" >&2
    done
  fi
  purge_packages || status=1
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT

# Ports on loopback, chosen now; 82 is the rendezvous port every client uses.
read -r mirror1_port mirror2_port list_port tracker_port front_port stats_port seed_port < <(/usr/bin/python3 - <<'PY'
import socket
sockets = [socket.socket() for _ in range(7)]
for s in sockets: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in sockets))
PY
)
/usr/bin/python3 -c 'import socket; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).bind(("127.0.0.1", 82))' 2>/dev/null ||
  fail "UDP port 82 on 127.0.0.1 is taken; the rendezvous server needs it"

# --- the publisher's input: an installer, TLS for the resource list, the release file
"$profile_builder" --installer-only --out "$work/input" --size "$installer_size" \
  --installer-url "http://127.0.0.1/$file_name" >"$work/logs/installer.log" 2>&1 || fail "cannot make the installer"
tls="$work/tls"
mkdir -p "$tls"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "/CN=rehearsal CA" \
  -keyout "$tls/ca.key" -out "$tls/ca.pem" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=127.0.0.1" \
  -keyout "$tls/server.key" -out "$tls/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' >"$tls/server.ext"
openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -CAcreateserial -days 2 \
  -extfile "$tls/server.ext" -out "$tls/server.pem" 2>/dev/null
chmod 644 "$tls/ca.pem"

list_url="https://127.0.0.1:$list_port/downloader/RehearsalList.xml"
cat >"$work/input/rehearsal.ini" <<INI
[product]
name = rehearsal
caption = Veldmoor rehearsal
version-text = 版本：0.1.0.0
game-version = v0.1.0.0
game-id = 901
channel = 1
save-folder = Rehearsal

[installer]
file = $file_name

[download]
mirror = http://127.0.0.1:$mirror1_port/rehearsal/$file_name
mirror = http://127.0.0.1:$mirror2_port/second/$file_name
resource-list = $list_url
resource-list-ca = $tls/ca.pem
p2p = true
tracker = http://127.0.0.1:$tracker_port/announce

[statistics]
host = 127.0.0.1:$stats_port

[nat]
server = 127.0.0.1

[servers]
tls-certificate = $tls/server.pem
tls-key = $tls/server.key
document-root = $work/www
tracker-whitelist = $work/tracker/whitelist.txt
listen-address = 127.0.0.1
INI

# --- 1. publish
step_start=$SECONDS
"$publish" "$work/input/rehearsal.ini" --out "$work/release" >"$work/logs/publish.log" 2>&1 ||
  fail "veldmoor-publish refused the release (logs/publish.log)"
note "published in $((SECONDS - step_start)) s"
release="$work/release"
expected_md5=$(md5sum <"$work/input/$file_name" | cut -d' ' -f1)
grep -q "^expectedMd5=$expected_md5\$" "$release/profile.txt" || fail "the profile does not carry the installer's MD5"

# --- 2. build from the release, 3. package and lint
step_start=$SECONDS
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELDMOOR_TESTS=OFF -DVELDMOOR_UI=ON \
  -DVELDMOOR_RELEASE="$release" >"$work/logs/configure.log" 2>&1 || fail "configure failed"
cmake --build "$build" >"$work/logs/build.log" 2>&1 || fail "the build from the release failed"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB) >"$work/logs/cpack.log" 2>&1 || fail "cpack failed"
note "built and packaged in $((SECONDS - step_start)) s"
player_deb=$(ls "$build"/veldmoor_*.deb)
servers_deb=$(ls "$build"/veldmoor-servers_*.deb)
lintian --fail-on error "$player_deb" "$servers_deb" >"$work/logs/lintian.log" 2>&1 || fail "lintian reports errors"

# --- install, and the servers' configuration from the release
snapshot() {
  find /etc /usr /lib /var /opt /srv -xdev \( -path /var/cache -o -path /var/log -o -path /var/tmp \
    -o -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/backups -o -path /var/lib/systemd/deb-systemd-helper-masked \) \
    -prune -o -print 2>/dev/null | sort
}
snapshot >"$work/before.txt"
dpkg -i "$player_deb" "$servers_deb" >"$work/logs/install.log" 2>&1 || fail "dpkg -i failed"
install -m 644 "$release/servers/veldmoor-natd.default" /etc/default/veldmoor-natd
install -m 644 "$release/servers/veldmoor-statsd.default" /etc/default/veldmoor-statsd

unit_value() { sed -n "s/^$2=//p" "/lib/systemd/system/$1.service" | tail -n 1; }

start_unit() {
  local name=$1
  if [ -d /run/systemd/system ]; then
    systemctl restart "$name" || fail "systemctl restart $name failed"
    return
  fi
  local environment command state workdir capabilities caps=()
  environment=$(unit_value "$name" EnvironmentFile)
  command=$(unit_value "$name" ExecStart)
  state=$(unit_value "$name" StateDirectory)
  workdir=$(unit_value "$name" WorkingDirectory)
  capabilities=$(unit_value "$name" AmbientCapabilities | tr 'A-Z' 'a-z' | sed 's/cap_/+/g; s/ /,/g')
  if [ -n "$state" ]; then
    mkdir -p "/var/lib/$state"
    chown nobody:nogroup "/var/lib/$state"
  fi
  [ -n "$capabilities" ] && caps=(--inh-caps="$capabilities" --ambient-caps="$capabilities")
  # The unit's $VARIABLE words split at blanks, as systemd splits them.
  local argv
  read -r -a argv < <(set -a; . "$environment"; eval "echo $command")
  (cd "${workdir:-/}" && exec setpriv --reuid=nobody --regid=nogroup --clear-groups --no-new-privs "${caps[@]}" \
    "${argv[@]}") >"$work/logs/$name.out" 2>"$work/logs/$name.err" &
  pids+=($!)
}

wait_until() {
  local what=$1
  shift
  for _ in $(seq 1 100); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  fail "$what"
}

start_unit veldmoor-statsd
start_unit veldmoor-natd
wait_until "the collector did not answer /health" curl -sf "http://127.0.0.1:$stats_port/health"
wait_until "the rendezvous server is not on 127.0.0.1:82" sh -c "ss -uln | grep -q '127.0.0.1:82 '"

# --- mirrors and resource list (nginx), tracker (opentracker), as RELEASE.md says
install -D -m 644 "$work/input/$file_name" "$work/www/rehearsal/$file_name"
ln "$work/www/rehearsal/$file_name" "$work/www/second/$file_name" 2>/dev/null ||
  install -D -m 644 "$work/input/$file_name" "$work/www/second/$file_name"
install -D -m 644 "$release/www/downloader/RehearsalList.xml" "$work/www/downloader/RehearsalList.xml"
cat >"$work/nginx/nginx.conf" <<NGINX
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/logs/nginx.error.log;
events { worker_connections 256; }
http {
  include /etc/nginx/mime.types;
  log_format ports '\$server_port \$request_uri \$status \$body_bytes_sent';
  access_log $work/logs/nginx.access.log ports;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  # Slow mirrors, so the seeder carries a share of so small a file.
  limit_rate 2m;
  include $release/servers/nginx-veldmoor.conf;
  # The seeder announces through here from 127.0.0.2: the client refuses
  # peers at 127.0.0.1, and opentracker lists a peer where its announce came from.
  server {
    listen 127.0.0.1:$front_port;
    location / { proxy_pass http://127.0.0.1:$tracker_port; proxy_bind 127.0.0.2; }
  }
}
NGINX
nginx -t -e "$work/logs/nginx.error.log" -c "$work/nginx/nginx.conf" -p "$work/nginx" >"$work/logs/nginx-test.log" 2>&1 ||
  fail "nginx refuses the generated site"
nginx -e "$work/logs/nginx.error.log" -c "$work/nginx/nginx.conf" -p "$work/nginx" >"$work/logs/nginx.out" 2>&1 &
pids+=($!)
cat "$release/servers/opentracker.whitelist" >>"$work/tracker/whitelist.txt"
chmod 644 "$work/tracker/whitelist.txt"
chmod 755 "$work/tracker"
opentracker -f "$release/servers/opentracker.conf" >"$work/logs/opentracker.out" 2>&1 &
pids+=($!)
wait_until "nginx does not serve the mirror" curl -sf -r 0-15 -o /dev/null "http://127.0.0.1:$mirror1_port/rehearsal/$file_name"
wait_until "nginx does not serve the resource list over TLS" curl -sf --cacert "$tls/ca.pem" -o /dev/null "$list_url"
wait_until "opentracker does not listen" sh -c "ss -tln | grep -q '127.0.0.1:$tracker_port '"

# --- one seeder, on its own copy, announcing through the front
mkdir -p "$work/seed"
cp "$work/input/$file_name" "$work/seed/$file_name"
/usr/bin/python3 - "$release/$file_name.torrent" "$work/seed/seed.torrent" "http://127.0.0.1:$front_port/announce" <<'PY'
import sys
torrent = open(sys.argv[1], "rb").read()
front = sys.argv[3].encode()
# Same info dictionary (same info hash), another tracker.
info_at = torrent.index(b"4:infod")
open(sys.argv[2], "wb").write(b"d8:announce" + str(len(front)).encode() + b":" + front + torrent[info_at:])
PY
veldmoor-get --seed --status-json -T "$work/seed/seed.torrent" -o "$work/seed/$file_name" --port "$seed_port" \
  >"$work/logs/seeder.out" 2>"$work/logs/seeder.err" &
pids+=($!)
wait_until "the seeder did not report its copy complete" grep -q '"progress":10000' "$work/logs/seeder.out"

# --- the player's download, with the installed client
step_start=$SECONDS
# English, for the tally line read below.
env -u LC_ALL -u LC_MESSAGES LANGUAGE=en LANG=en_US.UTF-8 HOME="$work/home" XDG_DATA_HOME="$work/home/data" VELDMOOR_DEMO_MARK="$work/ran" \
  timeout 600 veldmoor-cli --verify yes --install yes --save-dir "$work/save" --upnp off \
  >"$work/logs/client.out" 2>"$work/logs/client.err" || fail "veldmoor-cli failed (status $?)"
note "downloaded, verified and launched in $((SECONDS - step_start)) s"
saved=$(find "$work/save" -name "$file_name" -type f | head -n 1)
[ -n "$saved" ] || fail "no $file_name in the save folder"
[ "$(md5sum <"$saved" | cut -d' ' -f1)" = "$expected_md5" ] || fail "the saved installer's MD5 differs"
grep -q "^ran " "$work/ran" 2>/dev/null || fail "the installer did not run"
tally=$(grep -o 'from mirrors .* of downloading' "$work/logs/client.out" "$work/logs/client.err" | tail -n 1)
note "client: $tally"
echo "$tally" | grep -q 'from mirrors [^(]*([1-9][0-9]* bytes)' || fail "nothing came from the mirrors"
echo "$tally" | grep -q 'from peers [^(]*([1-9][0-9]* bytes)' || fail "nothing came from the seeder"
grep -q "^$list_port /downloader/RehearsalList.xml 200 " "$work/logs/nginx.access.log" ||
  fail "the client never fetched the resource list"

# --- the installed collector's report
report_has_download() {
  veldmoor-statsd report --database /var/lib/veldmoor-statsd/events.sqlite >"$work/logs/report.txt" 2>&1 &&
    awk '/^day +started/ {funnel = 1; next} funnel && $1 ~ /^[0-9-]+$/ && $2 >= 1 && $3 >= 1 && $4 >= 1 && $6 >= 1 {found = 1} /^$/ {funnel = 0} END {exit !found}' \
      "$work/logs/report.txt"
}
wait_until "the collector's report does not show the download started, completed, verified and installed" report_has_download
note "collector: $(grep -A1 '^day ' "$work/logs/report.txt" | head -n 2 | tail -n 1)"

# --- purge; nothing may be left
stop_processes
purge_packages || fail "dpkg --purge failed"
snapshot >"$work/after.txt"
if ! diff "$work/before.txt" "$work/after.txt" >"$work/logs/left-behind.txt"; then
  fail "files changed by install and purge: $(grep -c '^[<>]' "$work/logs/left-behind.txt")"
fi
note "passed in $((SECONDS - started_at)) s"
