#!/usr/bin/env bash
# The main job: StickMedic at work in a throwaway Wine sandbox.
#   ./scripts/demo.sh [--keep]
# Installs what is missing, builds, runs the program in a fresh sandbox (a
# virtual display when there is none) and shows its scan log.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$here/.."
. scripts/lib/wine-env.sh

keep=
[ "${1:-}" = --keep ] && keep=1

./scripts/setup.sh >/dev/null
./scripts/build.sh >/dev/null
if [ "$(wine_test_target)" = x86_64 ]; then
  exe=build/x86_64/StickMedic.exe
  echo "demo: this machine runs no 32-bit Wine; running the x86_64 build of the same sources"
else
  exe=build/StickMedic.exe
fi
template="$PWD/$(dirname "$exe")/sandbox/template"
sandbox="$(dirname "$template")/demo"
./scripts/sandbox.sh new "$template" "$sandbox"
trap './scripts/sandbox.sh stop "$sandbox"; [ -n "$keep" ] || rm -rf "$sandbox"' EXIT

echo "demo: running StickMedic.exe in the sandbox $sandbox"
./scripts/sandbox.sh exec "$sandbox" "$exe" || echo "demo: StickMedic exited with $?"
log="$sandbox/drive_c/ProgramData/corvaneTools/StickMedic.log"
echo "demo: the scan log ($log), decoded from GBK:"
echo "----"
iconv -f GBK -t UTF-8 "$log"
echo "----"
if [ -n "$keep" ]; then
  echo "demo: the sandbox stays. A shell in it:"
  echo "  . scripts/lib/wine-env.sh; wine_setup $sandbox; \$WINE cmd"
  echo "  ... or the registry editor: \$WINE regedit"
fi
