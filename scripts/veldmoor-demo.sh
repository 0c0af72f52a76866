#!/usr/bin/env bash
# The whole product on this machine: installs what is needed, builds the demo
# profile into build-demo/, brings the demo world up, runs the client, which
# downloads the demo installer from the resource list's mirrors and the
# seeders, verifies its MD5 and launches it, and brings the world down again.
#
#   scripts/veldmoor-demo.sh [--resume] [-- CLIENT-ARGUMENTS...]
#
# --resume keeps the previous run's download and task file (to show a resume
# after Ctrl-C); without it every run starts from nothing. The client is the
# window program when a display exists and the build has it, else
# veldmoor-cli; VELDMOOR_DEMO_CLIENT=cli|window chooses. Sizes and ports:
# VELDMOOR_DEMO_SIZE (bytes, first configure only) and the VELDMOOR_DEMO_*_PORT
# variables (README.md).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELDMOOR_DEMO_BUILD:-$root/build-demo}
export VELDMOOR_DEMO_BUILD=$build
resume=0
client_arguments=()
while [ $# -gt 0 ]; do
  case $1 in
    --resume) resume=1 ;;
    --) shift; client_arguments=("$@"); break ;;
    *) echo "usage: $0 [--resume] [-- CLIENT-ARGUMENTS...]" >&2; exit 2 ;;
  esac
  shift
done

say() { echo "veldmoor-demo: $*" >&2; }
started=$(date +%s%N)

say "installing packages (scripts/setup.sh)"
"$root/scripts/setup.sh" >&2

say "building the demo profile into $build"
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
configure=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELDMOOR_PROFILE=demo -DVELDMOOR_TESTS=OFF)
[ -n "${VELDMOOR_DEMO_SIZE:-}" ] && configure+=("-DVELDMOOR_DEMO_SIZE=$VELDMOOR_DEMO_SIZE")
cmake -S "$root" -B "$build" -G Ninja "${configure[@]}" >/dev/null
targets=(veldmoor-cli veldmoor-get veldmoor-statsd)
# The window program, once the build has one.
has_window=0
if "$root/scripts/build-has-target.sh" "$build" veldmoor; then
  has_window=1
  targets+=(veldmoor)
fi
cmake --build "$build" --target "${targets[@]}" -j "$(nproc)" >&2

client=${VELDMOOR_DEMO_CLIENT:-}
if [ -z "$client" ]; then
  client=cli
  if [ "$has_window" = 1 ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then client=window; fi
fi
case $client in
  cli) program="$build/tools/veldmoor-cli/veldmoor-cli" ;;
  window)
    [ "$has_window" = 1 ] || { say "this build has no window program yet; use VELDMOOR_DEMO_CLIENT=cli"; exit 1; }
    program=$(find "$build" -type f -name veldmoor -perm -u+x | head -n 1) ;;
  *) say "VELDMOOR_DEMO_CLIENT is cli or window"; exit 2 ;;
esac

# The world: brought up here, and then taken down here, unless it already ran.
if "$root/scripts/demo-world.sh" status >/dev/null 2>&1; then
  say "the demo world is already up; using it"
else
  trap '"$root/scripts/demo-world.sh" down' EXIT
  "$root/scripts/demo-world.sh" up
fi

# The client's own folders, apart from the user's real data and downloads.
run="$build/demo-run"
[ "$resume" = 1 ] || rm -rf "$run"
mkdir -p "$run/data" "$run/save"
client_options=()
if [ "$client" = cli ]; then
  # The world lives on loopback: no router to ask.
  client_options=(--save-dir "$run/save" --upnp off)
else
  # The window takes no arguments; its default save folder is the user's
  # download folder, which xdg-user-dir reads from here.
  mkdir -p "$run/config"
  printf 'XDG_DOWNLOAD_DIR="%s"\n' "$run/save" >"$run/config/user-dirs.dirs"
  export XDG_CONFIG_HOME="$run/config"
fi
say "running $(basename "$program"): data in $run/data, installer to $run/save"
status=0
(
  cd "$run"
  XDG_DATA_HOME="$run/data" "$program" "${client_options[@]}" "${client_arguments[@]}"
) || status=$?

# Where the bytes came from: the mirrors' own access logs.
world=$(. "$build/demo-world.env"; echo "$VELDMOOR_DEMO_WORLD_DIR")
for log in "$world"/logs/mirror*.access.log; do
  [ -f "$log" ] || continue
  bytes=$(awk '{ sum += $NF } END { print sum + 0 }' "$log")
  say "$(basename "$log" .access.log) served $bytes bytes"
done
# What the publisher's statistics collector received from this run.
if [ -f "$world/stats/events.sqlite" ]; then
  say "the statistics collector's report:"
  "$build/tools/veldmoor-statsd/veldmoor-statsd" report --database "$world/stats/events.sqlite" >&2 || true
fi
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
say "client exit status $status; the whole command took $((elapsed_ms / 1000)).$(printf %03d $((elapsed_ms % 1000))) s"
exit "$status"
