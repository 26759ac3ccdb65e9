#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine for this project: installs the Debian
# packages the build and the tests need, and only those that are missing.
# Safe to run again and again; does nothing when everything is there.
set -euo pipefail

PACKAGES=(
  cmake                 # build system (3.25 or newer, for the presets)
  ninja-build           # generator used by every preset
  g++                   # host compiler, with the sanitizer runtimes
  g++-multilib          # its 32-bit (i386) side, for the host32 preset
  googletest            # GoogleTest sources
  libgtest-dev          # GoogleTest, for the tests
  libgmock-dev          # GoogleMock
  libbenchmark-dev      # Google Benchmark, for bench/
  libboost-context-dev  # Boost.Context: the deterministic schedules' fibers
  parallel              # GNU parallel, runs exploration campaigns in shards
  valgrind              # callgrind, for the data-path benchmark's instruction count
  g++-mingw-w64-i686    # i686 cross compiler for the target preset
  mingw-w64-i686-dev    # the platform headers, DDK included, for the target preset
  clang-14              # compiler of the fuzz preset
  libclang-rt-14-dev    # libFuzzer and clang's sanitizer runtimes, for the fuzz preset
  python3               # scripts/check_layers.py, run by the tests
  clang-format-14       # scripts/check_format.sh, run by the tests
  tshark                # reads nuvix-sim's USB captures back, for their test
  python3-serial        # pyserial, drives nuvix-sim's pseudo-terminals in their test
  libtelnet-dev         # telnet negotiation for nuvix-sim --serve (its network serial ports)
  picocom               # the terminal program the README's --pty example uses
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  if [ "$status" != "install ok installed" ]; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#PACKAGES[@]} packages already installed"
  exit 0
fi

echo "setup: installing ${missing[*]}"

# Root runs apt-get itself; anyone else goes through sudo.
SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=(sudo)
  else
    echo "setup: not root and no sudo; install these as root: ${missing[*]}" >&2
    exit 1
  fi
fi

"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
echo "setup: done"
