#!/usr/bin/env bash
# Installs what is needed, configures, builds and runs the whole test suite.
#   scripts/test.sh            normal build (build/)
#   scripts/test.sh asan       ASan+UBSan build (build-asan/), unit tests only
#   scripts/test.sh tsan       TSan build (build-tsan/), tests labelled thread only
# Sanitizer builds leave out the Qt window, which the normal suite tests, and
# build only the test programs they run.
# Extra arguments after the flavour go to ctest (for instance -R Bencode).
# At the end it says how many tests skipped and why; under CI (CI or
# VELDMOOR_CI set) a skip not marked "not applicable here" fails the run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-normal}
[ $# -gt 0 ] && shift

"$root/scripts/setup.sh"

case "$flavour" in
  normal) build="$root/build"; sanitize=none; tests=all; ui=ON; targets=all ;;
  asan)   build="$root/build-asan"; sanitize=address; tests=unit; ui=OFF; targets=veldmoor_selected_tests ;;
  tsan)   build="$root/build-tsan"; sanitize=thread; tests=thread; ui=OFF; targets=veldmoor_selected_tests ;;
  *) echo "unknown flavour '$flavour' (normal, asan or tsan)" >&2; exit 2 ;;
esac

under_ci() {
  local value
  for value in "${CI:-}" "${VELDMOOR_CI:-}"; do
    case "$value" in ""|0|false) ;; *) return 0 ;; esac
  done
  return 1
}

export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELDMOOR_SANITIZE="$sanitize" -DVELDMOOR_TEST_SET="$tests" -DVELDMOOR_UI="$ui" >/dev/null
cmake --build "$build" -j "$(nproc)" --target "$targets"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-second_deadlock_stack=1:halt_on_error=1:suppressions=$root/scripts/tsan.supp}
cd "$build"
results="$build/Testing/results.xml"
rm -f "$results"
status=0
ctest --output-on-failure -j "$(nproc)" --output-junit "$results" "$@" || status=$?
skip_check=()
under_ci && skip_check=(--ci)
python3 "$root/scripts/skipped-tests.py" "${skip_check[@]}" "$results" || { [ "$status" -ne 0 ] || status=1; }
exit "$status"
