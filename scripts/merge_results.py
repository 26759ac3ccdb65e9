#!/usr/bin/env python3
"""Merges the result files of a campaign's shards into the one result an
unsharded run gives.

Two kinds of line are merged, whatever else the files hold:
  bounded search: window=W test=NAME bound=K shard=I/N schedules=S exhausted=E failed=F
      one per search and shard; merged per window: the schedules add up, the
      space is exhausted when every shard exhausted its part, and the failing
      ids are listed (the shard part is dropped);
  <case id> pass | <case id> fail <signature>
      one per sweep case (nuvix_sweeps --results); merged by sorting.
Prints the merged result; exits 1 if anything failed, 2 if a shard of a
search is missing.
"""
import re
import sys

SEARCH = re.compile(r"^bounded search: window=(\d+) test=(\S+) bound=(\d+) shard=(\d+)/(\d+) "
                    r"schedules=(\d+) exhausted=(yes|no) failed=(\S+)$")
CASE = re.compile(r"^(\S+) (pass|fail\b.*)$")


def main(paths):
    searches = {}
    cases = []
    for path in paths:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                line = line.rstrip("\n")
                m = SEARCH.match(line)
                if m:
                    window, test, bound, shard, shards, schedules, exhausted, failed = m.groups()
                    s = searches.setdefault((int(window), test, int(bound)),
                                            {"shards": set(), "of": int(shards), "schedules": 0,
                                             "exhausted": True, "failed": []})
                    s["shards"].add(int(shard))
                    s["schedules"] += int(schedules)
                    s["exhausted"] = s["exhausted"] and exhausted == "yes"
                    if failed != "-":
                        s["failed"].append(failed)
                    continue
                m = CASE.match(line)
                if m:
                    cases.append(line)
    status = 0
    for (window, test, bound), s in sorted(searches.items()):
        missing = sorted(set(range(s["of"])) - s["shards"])
        if missing:
            print(f"window {window}: shards {missing} of {s['of']} reported nothing", file=sys.stderr)
            status = 2
        failed = ",".join(sorted(s["failed"])) or "-"
        print(f"bounded search: window={window} test={test} bound={bound} schedules={s['schedules']} "
              f"exhausted={'yes' if s['exhausted'] else 'no'} failed={failed}")
        if s["failed"] and not status:
            status = 1
    for line in sorted(cases):
        print(line)
        if " fail" in line and not status:
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
