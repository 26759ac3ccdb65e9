#!/usr/bin/env bash
# A campaign split into 4 shards and merged says what the unsharded run
# says: the bounded search's schedule counts add up to the whole search's,
# and the sweeps' cases to the whole list. Usage: check_campaign.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
out=$build/campaign-check

# check NAME KIND [campaign arguments]
check() {
  local name=$1 kind=$2
  shift 2
  for n in 1 4; do
    bash "$here/campaign.sh" "$kind" --build "$build" --shards $n --out "$out/$name-$n" "$@" > /dev/null
  done
  if ! diff "$out/$name-1/merged.txt" "$out/$name-4/merged.txt"; then
    echo "FAIL: $name: 4 shards merged differ from one run (above)"
    exit 1
  fi
  [[ -s $out/$name-1/merged.txt ]] || { echo "FAIL: $name: the run reported nothing"; exit 1; }
  echo "$name: $(wc -l < "$out/$name-1/merged.txt") merged line(s) equal; $(head -1 "$out/$name-1/merged.txt")"
}

check explore explore --bound 1 --filter 'SamePortTest.OfTwoOpens*'
check sweep sweep -- --sweep names,marker,download --share ci --thin 4
