#!/usr/bin/env bash
# Flake hunt: builds the plain suite once, then runs the whole of it several times while a busy loop
# spins on every core, and once more with everything pinned to a single core (no busy loop then). A test that only passes
# when it gets the processor promptly fails here.
#
#   scripts/soak.sh [--runs N] [--build DIR] [--no-single-core] [-- extra ctest arguments]
#
# Prints one line per run and the names of the tests that failed; exits 1 when any run failed.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=5
build="$root/build/soak"
single_core=1
ctest_extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --no-single-core) single_core=0; shift ;;
    --) shift; ctest_extra=("$@"); break ;;
    *) echo "usage: $0 [--runs N] [--build DIR] [--no-single-core] [-- ctest arguments]" >&2; exit 2 ;;
  esac
done

"$root/scripts/install-deps.sh"
"$root/scripts/install-browsers.sh"
# taskset comes with util-linux, which every Debian system has.
command -v taskset >/dev/null || "$root/scripts/install-deps.sh" util-linux

cores=$(nproc)
cmake -S "$root" -B "$build" -G Ninja -DKARVO_WERROR=ON -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
cmake --build "$build" -j "$cores"

hogs=()
start_hogs() {
  for _ in $(seq "$cores"); do
    ( trap 'exit 0' TERM; while :; do :; done ) &
    hogs+=($!)
  done
}
stop_hogs() {
  [ ${#hogs[@]} -eq 0 ] && return 0
  kill "${hogs[@]}" 2>/dev/null || true
  wait "${hogs[@]}" 2>/dev/null || true
  hogs=()
}
trap stop_hogs EXIT

failed_runs=0
# One run of the whole suite; `$1` names it, the rest is the command prefix (for taskset).
run_suite() {
  local name=$1
  shift
  local log="$build/soak-$name.log"
  local began=$SECONDS
  local status=0
  (cd "$build" && "$@" ctest --output-on-failure -j $((cores * 3)) "${ctest_extra[@]}") >"$log" 2>&1 || status=$?
  local summary
  summary=$(grep -E 'tests passed, [0-9]+ tests failed' "$log" | tail -n 1)
  echo "soak $name: ${summary:-no summary (exit $status)} in $((SECONDS - began)) s"
  if [ "$status" -ne 0 ]; then
    failed_runs=$((failed_runs + 1))
    sed -n '/The following tests FAILED/,$p' "$log"
  fi
}

start_hogs
for i in $(seq "$runs"); do run_suite "hogged-$i"; done
stop_hogs
[ "$single_core" = 1 ] && run_suite single-core taskset -c 0

if [ "$failed_runs" -gt 0 ]; then
  echo "soak: $failed_runs run(s) had failures (logs in $build)"
  exit 1
fi
echo "soak: every run passed"
