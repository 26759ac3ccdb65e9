#!/usr/bin/env bash
# The habit for commit messages, checked from the first commit that kept it:
# a subject of at most 72 characters, then a blank line and a body that says
# why. Merge commits are exempt (their subject names the branch; the
# branch's commits carry the why).
# Usage: check_commits.sh [revision range]   (default: every commit since
# the habit began)
set -euo pipefail
cd "$(dirname "$0")/.."
since=12eaa77f64e6ce07103fedc6d90d559fe80d7668
range=${1:-$since^..HEAD}
if ! git rev-parse -q --verify "$since^{commit}" >/dev/null 2>&1; then
  echo "check_commits: no history here (a shallow or exported tree); nothing to check"
  exit 0
fi
commits=$(git rev-list --no-merges "$range")
if [ -z "$commits" ]; then
  echo "check_commits: no commits in $range"
  exit 0
fi
bad=0
while read -r commit; do
  subject=$(git log -1 --format=%s "$commit")
  body=$(git log -1 --format=%b "$commit" | sed '/^\s*$/d')
  second=$(git log -1 --format=%B "$commit" | sed -n 2p)
  if [ ${#subject} -gt 72 ]; then
    echo "$commit: subject has ${#subject} characters (at most 72): $subject"
    bad=$((bad + 1))
  fi
  if [ -z "$body" ] || [ -n "$second" ]; then
    echo "$commit: no body after a blank line to say why: $subject"
    bad=$((bad + 1))
  fi
done <<<"$commits"
if [ $bad -gt 0 ]; then
  echo "check_commits: $bad problem(s)"
  exit 1
fi
echo "check_commits: every commit in $range keeps the habit"
