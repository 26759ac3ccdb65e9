#!/usr/bin/env bash
# The project's run command: sets up the machine if needed, configures and
# builds the default preset, then starts nuvix-sim with the arguments given
# (bash scripts/run.sh --help lists them). The setup and build go to stderr,
# so the program's own output can be piped or saved on its own.
set -euo pipefail
cd "$(dirname "$0")/.."

{
  bash scripts/setup.sh
  cmake --preset default
  cmake --build --preset default
} >&2
exec build/default/tools/nuvix-sim/nuvix-sim "$@"
