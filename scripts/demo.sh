#!/usr/bin/env bash
# The main job: a sandbox PC infected the way USB worms leave a PC and its
# stick, cleaned by StickMedic in its own window, as a user would.
#   ./scripts/demo.sh [--keep] [--no-build]
# --keep leaves the sandbox for a look around; --no-build uses what is built.
# Exit code 0 when every planted infection was found and repaired (or
# scheduled for deletion at the next start of Windows).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$here/.."
root="$PWD"

keep= build=1
for arg in "$@"; do
  case "$arg" in
    --keep) keep=1 ;;
    --no-build) build= ;;
    *) echo "usage: $0 [--keep] [--no-build]" >&2; exit 2 ;;
  esac
done

if [ -n "$build" ]; then
  ./scripts/setup.sh >/dev/null
  ./scripts/build.sh >/dev/null
fi
# Sourced once set-up has made the locale the Wine environment names.
. scripts/lib/wine-env.sh
if [ "$(wine_test_target)" = x86_64 ]; then
  tree=build/x86_64
  note="(this machine runs no 32-bit Wine: the x86_64 build of the same sources runs here)"
else
  tree=build
  note=""
fi
template="$root/$tree/sandbox/template"
sandbox="$root/$tree/sandbox/demo"
shots="$root/$tree/demo-screenshots"
./scripts/sandbox.sh new "$template" "$sandbox"

. scripts/lib/display.sh
cleanup() {
  ./scripts/sandbox.sh stop "$sandbox" >/dev/null 2>&1 || true
  stop_display
  [ -n "$keep" ] || rm -rf "$sandbox"
}
trap cleanup EXIT
start_display
if [ -n "$XVFB_PID" ]; then where="a virtual display (Xvfb $DISPLAY)"; else where="your display $DISPLAY"; fi

wine_setup "$sandbox"
mkdir -p "$sandbox/drive_c/demo"
cp "$tree/StickMedic.exe" "$tree/tests/demo_driver.exe" "$sandbox/drive_c/demo/"
driver() { (cd "$sandbox/drive_c/demo" && "$WINE" 'C:\demo\demo_driver.exe' "$@"); }
report() { cat "$sandbox/drive_c/demo/$1"; }

heading() { printf '\n=== %s\n\n' "$1"; }

heading "1. A PC and its stick, infected"
echo "Planting, in the sandbox $sandbox $note:"
echo "  the script worm (\"load\" value, hijacked txtfile command, autoplay verbs, a running"
echo "  script host, its copies and Autorun.inf in C:\\ and E:\\), hidden folders on the stick"
echo "  stood in for by shortcuts and by small programs, the shortcut hijacker with its"
echo "  script and advertising .url files, the known-file worm's files, broken Winlogon,"
echo "  hidden-files and autorun-policy settings, a broken .exe association."
driver plant
driver show 'C:\demo\before.txt'
report before.txt

heading "2. StickMedic at work, in its window on $where"
driver run 'C:\demo\run.txt'
report run.txt

heading "3. The scan log (GBK, decoded)"
log="$sandbox/drive_c/ProgramData/corvaneTools/StickMedic.log"
iconv -f GBK -t UTF-8 "$log"

heading "4. After the scan"
sleep 1
driver show 'C:\demo\after.txt'
report after.txt

heading "5. What changed"
diff --unchanged-line-format= --old-line-format='  before: %L' --new-line-format='  after:  %L' \
  "$sandbox/drive_c/demo/before.txt" "$sandbox/drive_c/demo/after.txt" | tr -d '\r' || true

heading "6. Every planted infection checked"
rc=0
driver verify 'C:\demo\verify.txt' || rc=$?
report verify.txt

mkdir -p "$shots"
rm -f "$shots"/*.png
for shot in "$sandbox"/drive_c/demo/shots/*.bmp; do
  [ -e "$shot" ] && convert "$shot" "$shots/$(basename "${shot%.bmp}").png"
done
heading "Screenshots"
ls "$shots"/*.png 2>/dev/null | sed 's/^/  /'
if [ -n "$keep" ]; then
  heading "The sandbox stays"
  echo "  . scripts/lib/wine-env.sh; wine_setup $sandbox"
  echo "  \$WINE cmd        # a shell in the sandbox PC"
  echo "  \$WINE regedit    # its registry editor (needs a display)"
  echo "  ./scripts/sandbox.sh stop $sandbox   # when done"
fi
if [ $rc -eq 0 ]; then echo; echo "demo: every planted infection was repaired or scheduled."; fi
exit $rc
