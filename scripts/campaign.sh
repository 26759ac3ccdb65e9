#!/usr/bin/env bash
# A campaign in shards: runs one shard per GNU parallel job, each writing its
# own result file, then merges them (scripts/merge_results.py) into what one
# unsharded run prints. GNU parallel takes its options from $PARALLEL, so the
# same command spreads over machines that share the built tree:
#   PARALLEL="-S 4/host1,4/host2 --workdir $PWD" bash scripts/campaign.sh ...
#
#   bash scripts/campaign.sh explore [--bound K] [--filter GTEST_FILTER] [common]
#       every schedule of at most K preemptions (default 1) of each selected
#       test that opens a window, from a snapshot at the window
#   bash scripts/campaign.sh sweep [common] [-- nuvix_sweeps arguments]
#       the fault sweeps (default: the CI share of each)
# common: [--shards N] (default 4) [--jobs J] (default: cores)
#         [--out DIR] (default build/campaign/<kind>) [--build DIR] (default build/default)
# Exit status: 0 all passed, 1 something failed, 2 a shard or usage error.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

kind=${1:-}
[[ $kind == explore || $kind == sweep ]] || { sed -n '2,16p' "$0" >&2; exit 2; }
shift
shards=4 jobs=$(nproc) bound=1 build=build/default out=""
filter='SamePort*:PipeResetRace*:RemovalRace*:CommandChannel*:Context*:Transport*:RemovalTest*'
extra=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --shards) shards=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --bound) bound=$2; shift 2 ;;
    --filter) filter=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --) shift; extra=("$@"); break ;;
    *) echo "campaign: unknown argument $1" >&2; exit 2 ;;
  esac
done
out=${out:-build/campaign/$kind}
build=$(cd "$build" && pwd)
rm -rf "$out" && mkdir -p "$out"
out=$(cd "$out" && pwd)

if [[ $kind == explore ]]; then
  # Not GoogleTest's shard variables: each shard runs every test, and a
  # shard of each test's schedules.
  parallel --halt never -j "$jobs" \
    "NUVIX_SIM_SCHEDULE=bounded NUVIX_SIM_EXPLORE=$bound NUVIX_SIM_SHARD={}/$shards \
     '$build/tests/nuvix_tests' --gtest_brief=1 '--gtest_filter=$filter' > '$out/shard-{}.txt' 2>&1" \
    ::: $(seq 0 $((shards - 1))) || true
else
  [[ ${#extra[@]} -gt 0 ]] || extra=(--share ci)
  parallel --halt never -j "$jobs" \
    "'$build/tests/sweep/nuvix_sweeps' ${extra[*]} --shard {}/$shards --results '$out/results-{}.txt' \
     > '$out/shard-{}.txt' 2>&1" ::: $(seq 0 $((shards - 1))) || true
  for i in $(seq 0 $((shards - 1))); do
    [[ -f $out/results-$i.txt ]] || { echo "campaign: shard $i wrote no results (see $out/shard-$i.txt)" >&2; exit 2; }
  done
fi
status=0
if [[ $kind == explore ]]; then results=("$out"/shard-*.txt); else results=("$out"/results-*.txt); fi
python3 "$here/merge_results.py" "${results[@]}" > "$out/merged.txt" || status=$?
cat "$out/merged.txt"
exit $status
