#!/usr/bin/env bash
# Runs a ctest selection N times while busy loops keep both cores loaded, and
# prints per test how many of the N runs it failed.
#   scripts/stress-tests.sh BUILD_DIR N [-R REGEX] [-L LABEL] [-j JOBS]
# STRESS_LOAD sets the number of busy loops (default 2). Exits 1 when any test
# failed; the output of every run with failures is kept under $TMPDIR.
set -euo pipefail
usage() { echo "usage: $0 BUILD_DIR N [-R REGEX] [-L LABEL] [-j JOBS]" >&2; exit 2; }
[ $# -ge 2 ] || usage
build=$1 runs=$2
shift 2
[[ $runs =~ ^[1-9][0-9]*$ ]] && [ -d "$build" ] || usage
select=() jobs=2
while [ $# -gt 0 ]; do
  case $1 in
    -R | -L) [ $# -ge 2 ] || usage; select+=("$1" "$2"); shift 2 ;;
    -j) [ $# -ge 2 ] || usage; jobs=$2; shift 2 ;;
    *) usage ;;
  esac
done

logs=$(mktemp -d "${TMPDIR:-/tmp}/qtx-stress-XXXXXX")
loops=()
cleanup() {
  for pid in "${loops[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# Each loop also ends by itself once this script is gone, however it ended.
for ((i = 0; i < ${STRESS_LOAD:-2}; i++)); do
  (trap - INT TERM; while kill -0 $$ 2>/dev/null; do :; done) &
  loops+=($!)
done

declare -A failed=()
failed_file=$build/Testing/Temporary/LastTestsFailed.log
for ((run = 1; run <= runs; run++)); do
  rm -f "$failed_file"
  if QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} ctest --test-dir "$build" "${select[@]}" -j "$jobs" \
      --output-on-failure >"$logs/run$run.log" 2>&1; then
    rm -f "$logs/run$run.log"
    echo "run $run/$runs: passed"
    continue
  fi
  # One line "number:name" per failed test; a parameterised name may end in "  # GetParam() = ...".
  names=()
  [ -f "$failed_file" ] && mapfile -t names < <(cut -d: -f2- "$failed_file" | sed 's/  *#.*//')
  [ ${#names[@]} -gt 0 ] || names=("(ctest failed without a failed test; see $logs/run$run.log)")
  for name in "${names[@]}"; do failed[$name]=$((${failed[$name]:-0} + 1)); done
  echo "run $run/$runs: ${#names[@]} failed (output in $logs/run$run.log)"
done

if [ ${#failed[@]} -eq 0 ]; then
  echo "no failures in $runs runs"
  rmdir "$logs" 2>/dev/null || true
  exit 0
fi
echo "failures per test:"
for name in "${!failed[@]}"; do echo "  $name: ${failed[$name]}/$runs"; done | sort
exit 1
