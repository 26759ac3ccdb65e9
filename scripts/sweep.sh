#!/usr/bin/env bash
# The whole fault sweep: builds nuvix_sweeps in the asan preset (or the one
# given with --preset) and runs every case of every sweep, each in a process
# of its own. Any other argument goes to nuvix_sweeps, to choose sweeps and
# split the run:
#   bash scripts/sweep.sh                                   # everything
#   bash scripts/sweep.sh --sweep alloc --from 0 --to 800   # one slice
#   bash scripts/sweep.sh --list                            # the case ids
#   bash scripts/sweep.sh --case removal:pend:traffic:17    # replay one case
# Exit status 1 if any case failed; each failure prints its replay command.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=asan
args=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --preset) preset=$2; shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done

{
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j2 --target nuvix_sweeps
} >&2
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
exec "build/$preset/tests/sweep/nuvix_sweeps" --share full "${args[@]}"
