#!/usr/bin/env bash
# The simulation links below the driver: no object in the simulation's
# archive may need a symbol the driver's archive defines. Such a reference
# would mean the platform reaches up into the driver it hosts (the real
# kernel cannot), and would tie every program to one driver build.
# Usage: check_link_direction.sh <simulation archive> <driver archive>
set -euo pipefail
sim=$1 driver=$2
defined=$(nm --defined-only --extern-only --format=posix "$driver" 2>/dev/null | awk 'NF >= 2 && $2 != "U" && $2 != "W" && $2 != "V" && $2 != "w" && $2 != "v" {print $1}' | sort -u)
needed=$(nm --undefined-only --format=posix "$sim" 2>/dev/null | awk '{print $1}' | sort -u)
upward=$(comm -12 <(echo "$defined") <(echo "$needed"))
if [ -n "$upward" ]; then
  echo "check_link_direction: the simulation needs these driver symbols:"
  echo "$upward" | c++filt | sed 's/^/  /'
  exit 1
fi
echo "check_link_direction: the simulation needs no driver symbol ($(echo "$defined" | wc -l) checked)"
