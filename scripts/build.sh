#!/usr/bin/env bash
# Builds the program (build/StickMedic.exe, 32-bit) and, where this machine
# runs the tests as x86_64, the test build in build/x86_64.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$here/.."
. scripts/lib/wine-env.sh

configure_and_build() { # PRESET DIR
  if [ ! -f "$2/build.ninja" ]; then
    cmake --preset "$1" >/dev/null
  fi
  cmake --build --preset "$1"
}

configure_and_build mingw-i686 build
if [ "$(wine_test_target)" = x86_64 ]; then
  configure_and_build mingw-x86_64 build/x86_64
fi
