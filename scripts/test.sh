#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test in Wine sandboxes.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$here/.."

./scripts/setup.sh
# Sourced once set-up has made the locale the Wine environment names.
. scripts/lib/wine-env.sh
start=$(date +%s)
./scripts/build.sh
echo "test.sh: build took $(( $(date +%s) - start )) s"

# The shipped program: 32-bit, GUI, and it imports system DLLs only.
./scripts/check-exe.sh build/StickMedic.exe

if [ "$(wine_test_target)" = x86_64 ]; then
  if [ -n "${STICKMEDIC_WINE32_HIDDEN:-}" ]; then
    echo "test.sh: 32-bit Wine is hidden (scripts/without-wine32.sh), as on a machine without it"
  fi
  echo "test.sh: this machine runs no 32-bit Wine: the shipped i686 exe is built but not run;" \
       "the tests run the x86_64 build of the same sources in 64-bit sandboxes"
  tree=build/x86_64 preset=mingw-x86_64
else
  echo "test.sh: this machine runs 32-bit Wine: the tests run the shipped i686 exe, in 32-bit sandboxes" \
       "and under WOW64 in 64-bit ones"
  tree=build preset=mingw-i686
fi
start=$(date +%s)
ctest --preset "$preset" -j "$(nproc)"
echo "test.sh: tests took $(( $(date +%s) - start )) s"
