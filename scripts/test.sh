#!/usr/bin/env bash
# The project's test command: sets up the machine if needed, then configures,
# builds and runs every test of the default preset.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default
cmake --build --preset default
ctest --preset default
