#!/usr/bin/env bash
# The demo world: what a publisher runs, on loopback, for a demo build.
#
#   scripts/demo-world.sh up|down|status
#
# It serves the demo installer that the demo build made (build-demo/ unless
# VELDMOOR_DEMO_BUILD names another build folder):
#   - three nginx mirrors of the installer (Range), each rate-limited so that
#     the peers matter: the built-in URL's mirror and two more that only the
#     resource list names;
#   - the resource list over HTTPS (nginx), with a CA and server certificate
#     made here; the demo profile trusts that CA file;
#   - opentracker, whitelisting the installer's torrent, behind an nginx
#     front on the torrent's tracker port;
#   - two seeders, `veldmoor-get --seed`, each on its own complete copy.
# The engine refuses BitTorrent peers at 127.0.0.1, and opentracker lists a
# peer under the address its announce came from. So the tracker's front
# passes each seeder's announce on from an address of its own in 127/8
# (chosen by the announced port), and the client finds the seeders at
# 127.0.0.2 and 127.0.0.3; the seeders listen on every address.
# The ports the profile was compiled with come from BUILD/demo-world.env; the
# rest may be set in the environment (defaults below). Everything lives under
# the world folder (BUILD/world); `down` stops exactly the processes whose pid
# files `up` wrote there.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELDMOOR_DEMO_BUILD:-$root/build-demo}
env_file="$build/demo-world.env"

die() { echo "demo-world: $*" >&2; exit 1; }
note() { echo "demo-world: $*" >&2; }

[ -f "$env_file" ] || die "no $env_file: build with -DVELDMOOR_PROFILE=demo into $build first"
# shellcheck source=/dev/null
. "$env_file"

world=$VELDMOOR_DEMO_WORLD_DIR
mirror2_port=${VELDMOOR_DEMO_MIRROR2_PORT:-28781}
mirror3_port=${VELDMOOR_DEMO_MIRROR3_PORT:-28782}
seed1_port=${VELDMOOR_DEMO_SEED1_PORT:-28791}
seed2_port=${VELDMOOR_DEMO_SEED2_PORT:-28792}
tracker_backend_port=${VELDMOOR_DEMO_TRACKER_BACKEND_PORT:-28770}
# nginx's limit_rate, per connection.
mirror_rate=${VELDMOOR_DEMO_MIRROR_RATE:-4m}
# 0, 1 or 2 seeders (tests that need a slow download run without any).
seeders=${VELDMOOR_DEMO_SEEDERS:-2}
case $seeders in 0|1|2) ;; *) die "VELDMOOR_DEMO_SEEDERS is 0, 1 or 2" ;; esac
veldmoor_get=${VELDMOOR_GET:-$build/tools/veldmoor-get/veldmoor-get}
veldmoor_statsd=${VELDMOOR_STATSD:-$build/tools/veldmoor-statsd/veldmoor-statsd}
nginx_program=$(command -v nginx || echo /usr/sbin/nginx)

services=(nginx opentracker statsd seed1 seed2)

pid_file() { echo "$world/run/$1.pid"; }

# The program a service runs, to check that a pid still belongs to it.
service_program() {
  case $1 in
    nginx) echo nginx ;;
    opentracker) echo opentracker ;;
    statsd) echo veldmoor-statsd ;;
    seed*) echo veldmoor-get ;;
  esac
}

# Whether a process runs; an ended one that its new parent has not reaped
# yet (a zombie) does not.
alive() {
  local state
  state=$(sed -E 's/.*\) ([A-Za-z]).*/\1/' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

# The pid of a service when its pid file names a live process of its program.
running_pid() {
  local file pid
  file=$(pid_file "$1")
  [ -f "$file" ] || return 1
  pid=$(cat "$file")
  [ -n "$pid" ] && alive "$pid" && [ -r "/proc/$pid/cmdline" ] || return 1
  # Its program, started on this world's files: a pid reused by anybody
  # else is never stopped.
  tr '\0' ' ' < "/proc/$pid/cmdline" | grep -F "$(service_program "$1")" | grep -qF "$world/" || return 1
  echo "$pid"
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

wait_for_port() {
  local port=$1 what=$2
  for _ in $(seq 1 100); do
    port_open "$port" && return 0
    sleep 0.1
  done
  die "$what did not start listening on port $port (logs: $world/logs)"
}

# Runs a program in the background with its output in the world's logs.
start_service() {
  local name=$1
  shift
  # nohup: a world brought up from a terminal outlives that terminal.
  nohup "$@" </dev/null >"$world/logs/$name.out" 2>"$world/logs/$name.err" &
  echo $! >"$(pid_file "$name")"
}

make_certificates() {
  local tls="$world/tls"
  mkdir -p "$tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
    -subj "/CN=Veldmoor demo world CA" -keyout "$tls/ca.key" -out "$tls/ca.pem" 2>/dev/null
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -subj "/CN=127.0.0.1" -keyout "$tls/server.key" -out "$tls/server.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
    >"$tls/server.ext"
  openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -CAcreateserial \
    -days 30 -extfile "$tls/server.ext" -out "$tls/server.pem" 2>/dev/null
  [ "$tls/ca.pem" = "$VELDMOOR_DEMO_CA_FILE" ] || die "the build trusts $VELDMOOR_DEMO_CA_FILE, not $tls/ca.pem"
}

write_resource_list() {
  local list_path=${VELDMOOR_DEMO_LIST_URL#https://*/}
  mkdir -p "$world/www/$(dirname "$list_path")"
  # Every mirror, the built-in one too: a fetched list replaces the task's
  # whole list of HTTP sources.
  cat >"$world/www/$list_path" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<ResourceList>
  <project ID="1" Task="$VELDMOOR_DEMO_INSTALLER_URL" Open="true">
    <cdn ID="1" Name="demo-mirrors" MiddleDir="/demo/" FileName="$VELDMOOR_DEMO_FILE_NAME" HostName="127.0.0.1" Open="true">
      <IP>127.0.0.1:$VELDMOOR_DEMO_MIRROR_PORT</IP>
      <IP>127.0.0.1:$mirror2_port</IP>
      <IP>127.0.0.1:$mirror3_port</IP>
    </cdn>
  </project>
  <project ID="2" Task="P2PSwitch" Open="true"/>
</ResourceList>
EOF
}

mirror_server() {
  local name=$1 port=$2
  cat <<EOF
  server {
    listen 127.0.0.1:$port;
    root $world/www;
    limit_rate $mirror_rate;
    access_log $world/logs/$name.access.log ranges;
  }
EOF
}

write_nginx_config() {
  local folder="$world/nginx"
  mkdir -p "$folder"
  {
    cat <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $folder/nginx.pid;
error_log $world/logs/nginx.error.log;
events { worker_connections 512; }
http {
  sendfile on;
  log_format ranges '\$request_uri \$status [\$http_range] \$body_bytes_sent';
  client_body_temp_path $folder/body;
  proxy_temp_path $folder/proxy;
  fastcgi_temp_path $folder/fastcgi;
  uwsgi_temp_path $folder/uwsgi;
  scgi_temp_path $folder/scgi;
EOF
    mirror_server mirror1 "$VELDMOOR_DEMO_MIRROR_PORT"
    mirror_server mirror2 "$mirror2_port"
    mirror_server mirror3 "$mirror3_port"
    cat <<EOF
  map \$arg_port \$announce_from {
    default 127.0.0.1;
    $seed1_port 127.0.0.2;
    $seed2_port 127.0.0.3;
  }
  server {
    listen 127.0.0.1:$VELDMOOR_DEMO_TRACKER_PORT;
    access_log $world/logs/tracker.access.log;
    location / {
      proxy_pass http://127.0.0.1:$tracker_backend_port;
      proxy_bind \$announce_from;
    }
  }
  server {
    listen 127.0.0.1:$VELDMOOR_DEMO_LIST_PORT ssl;
    ssl_certificate $world/tls/server.pem;
    ssl_certificate_key $world/tls/server.key;
    root $world/www;
    access_log $world/logs/resource-list.access.log ranges;
  }
}
EOF
  } >"$folder/nginx.conf"
}

start_tracker() {
  # opentracker changes root into its folder and drops to an unprivileged
  # user when started as root, so the folder must stay readable.
  local folder="$world/tracker"
  mkdir -p "$folder"
  chmod 755 "$folder"
  tr -d '\n' <"$VELDMOOR_DEMO_INFOHASH_FILE" >"$folder/whitelist"
  echo >>"$folder/whitelist"
  chmod 644 "$folder/whitelist"
  start_service opentracker opentracker -i 127.0.0.1 -p "$tracker_backend_port" \
    -P "$tracker_backend_port" -d "$folder" -w whitelist
  wait_for_port "$tracker_backend_port" opentracker
}

start_seeder() {
  local name=$1 port=$2 folder="$world/$1"
  mkdir -p "$folder"
  # Its own copy, so a seeder can never touch the build's installer.
  if ! cmp -s "$VELDMOOR_DEMO_INSTALLER" "$folder/$VELDMOOR_DEMO_FILE_NAME"; then
    rm -f "$folder/$VELDMOOR_DEMO_FILE_NAME" "$folder/$VELDMOOR_DEMO_FILE_NAME".vm*
    cp "$VELDMOOR_DEMO_INSTALLER" "$folder/$VELDMOOR_DEMO_FILE_NAME"
  fi
  start_service "$name" "$veldmoor_get" --seed --status-json -T "$VELDMOOR_DEMO_TORRENT" \
    -o "$folder/$VELDMOOR_DEMO_FILE_NAME" --port "$port"
}

# A seeder is ready once it has checked its copy and reports it complete.
wait_for_seeder() {
  local name=$1
  for _ in $(seq 1 300); do
    grep -q '"progress":10000' "$world/logs/$name.out" 2>/dev/null && return 0
    running_pid "$name" >/dev/null || die "$name ended (logs: $world/logs/$name.err)"
    sleep 0.1
  done
  die "$name did not report its copy complete (logs: $world/logs)"
}

check_ports_free() {
  local port
  for port in "$VELDMOOR_DEMO_MIRROR_PORT" "$mirror2_port" "$mirror3_port" "$VELDMOOR_DEMO_LIST_PORT" \
    "$VELDMOOR_DEMO_TRACKER_PORT" "$tracker_backend_port" "$VELDMOOR_DEMO_STATS_PORT" "$seed1_port" "$seed2_port"; do
    port_open "$port" && die "port $port is taken; set the VELDMOOR_DEMO_*_PORT variables (see README.md)"
  done
  return 0
}

up() {
  local service
  for service in "${services[@]}"; do
    running_pid "$service" >/dev/null && die "the world is already up ($service); run '$0 down' first"
  done
  [ -f "$VELDMOOR_DEMO_INSTALLER" ] || die "no demo installer at $VELDMOOR_DEMO_INSTALLER: build the demo first"
  [ -x "$veldmoor_get" ] || die "no veldmoor-get at $veldmoor_get: build it into $build first"
  [ -x "$veldmoor_statsd" ] || die "no veldmoor-statsd at $veldmoor_statsd: build it into $build first"
  check_ports_free
  mkdir -p "$world/run" "$world/logs" "$world/www/demo" "$world/stats"
  rm -f "$world"/logs/* "$world"/stats/*
  ln -sf "$VELDMOOR_DEMO_INSTALLER" "$world/www/demo/$VELDMOOR_DEMO_FILE_NAME"
  make_certificates
  write_resource_list
  write_nginx_config
  # Should a step fail, what already runs is stopped again.
  trap 'down >/dev/null 2>&1 || true' EXIT
  start_service nginx "$nginx_program" -e "$world/logs/nginx.error.log" -c "$world/nginx/nginx.conf" -p "$world/nginx"
  wait_for_port "$VELDMOOR_DEMO_MIRROR_PORT" nginx
  wait_for_port "$VELDMOOR_DEMO_LIST_PORT" nginx
  start_tracker
  start_service statsd "$veldmoor_statsd" serve --listen "127.0.0.1:$VELDMOOR_DEMO_STATS_PORT" \
    --database "$world/stats/events.sqlite"
  wait_for_port "$VELDMOOR_DEMO_STATS_PORT" veldmoor-statsd
  [ "$seeders" -ge 1 ] && start_seeder seed1 "$seed1_port"
  [ "$seeders" -ge 2 ] && start_seeder seed2 "$seed2_port"
  [ "$seeders" -ge 1 ] && wait_for_seeder seed1
  [ "$seeders" -ge 2 ] && wait_for_seeder seed2
  trap - EXIT
  note "up: mirrors on ports $VELDMOOR_DEMO_MIRROR_PORT $mirror2_port $mirror3_port ($mirror_rate/s per connection)," \
    "resource list $VELDMOOR_DEMO_LIST_URL, tracker $VELDMOOR_DEMO_TRACKER_PORT (opentracker on $tracker_backend_port), seeders $seed1_port $seed2_port," \
    "statistics collector $VELDMOOR_DEMO_STATS_PORT ($world/stats/events.sqlite)"
}

down() {
  local service pid
  for service in "${services[@]}"; do
    if pid=$(running_pid "$service"); then
      kill -TERM "$pid" 2>/dev/null || true
      for _ in $(seq 1 100); do
        alive "$pid" || break
        sleep 0.1
      done
      if alive "$pid"; then
        note "$service ($pid) did not stop within 10 s; killing it"
        kill -KILL "$pid" 2>/dev/null || true
      fi
    fi
    rm -f "$(pid_file "$service")"
  done
  note "down"
}

# Exit status 0 when the world is up: every service it started still runs.
status() {
  local service pid started=0 lost=0
  for service in "${services[@]}"; do
    if pid=$(running_pid "$service"); then
      echo "$service running (pid $pid)"
      started=$((started + 1))
    elif [ -f "$(pid_file "$service")" ]; then
      echo "$service ended"
      lost=$((lost + 1))
    else
      echo "$service stopped"
    fi
  done
  [ "$started" -gt 0 ] && [ "$lost" -eq 0 ]
}

case ${1:-} in
  up) up ;;
  down) down ;;
  status) status ;;
  *) echo "usage: $0 up|down|status" >&2; exit 2 ;;
esac
