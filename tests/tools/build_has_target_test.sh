#!/usr/bin/env bash
# scripts/build-has-target.sh, which the demo command asks whether its build
# has the window program: against a ninja that lists the target first and
# much more after it (a reader that stopped early would kill it with
# SIGPIPE), one that lists nothing, one that fails, and the real build.
#   build_has_target_test.sh SCRIPT REAL-BUILD
set -euo pipefail
script=$1
real_build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
expect() {
  local want=$1; shift
  local got=0
  "$@" || got=$?
  if [ "$got" != "$want" ]; then
    echo "FAIL: $* exited $got, expected $want" >&2
    failures=$((failures + 1))
  fi
}

mkdir -p "$work/long" "$work/empty" "$work/broken"
cat >"$work/long/ninja" <<'NINJA'
#!/usr/bin/env bash
echo "veldmoor: phony"
seq -f 'tests/some/target_%g: CXX_COMPILER' 200000
NINJA
printf '#!/bin/sh\necho "veldmoor-cli: phony"\necho "libveldmoor.a: phony"\n' >"$work/empty/ninja"
printf '#!/bin/sh\necho "veldmoor: phony"\nexit 1\n' >"$work/broken/ninja"
chmod +x "$work"/*/ninja

for round in 1 2 3 4 5; do
  PATH="$work/long:$PATH" expect 0 "$script" "$work" veldmoor
done
PATH="$work/empty:$PATH" expect 1 "$script" "$work" veldmoor
PATH="$work/broken:$PATH" expect 1 "$script" "$work" veldmoor
PATH="$work/long:$PATH" expect 1 "$script" "$work" veldmoo
expect 0 "$script" "$real_build" veldmoor-cli
expect 1 "$script" "$real_build" no-such-target
expect 1 "$script" "$work/not-a-build" veldmoor

[ "$failures" -eq 0 ] && echo "all cases passed"
exit "$failures"
