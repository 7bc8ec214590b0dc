#!/usr/bin/env bash
# The main job: a sandbox PC infected the way USB worms leave a PC and its
# stick, cleaned by StickMedic in its own window, as a user would.
#   ./scripts/demo.sh [--keep] [--no-build] [--win64]
# --keep leaves the sandbox for a look around; --no-build uses what is built;
# --win64 runs it in a 64-bit sandbox PC (the 32-bit program under WOW64
# where this machine runs 32-bit Wine, the x86_64 build otherwise).
# Exit code 0 when every planted infection was found and repaired (or
# scheduled for deletion at the next start of Windows).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$here/.."
root="$PWD"

keep= build=1 arch=
for arg in "$@"; do
  case "$arg" in
    --keep) keep=1 ;;
    --no-build) build= ;;
    --win64) arch=win64 ;;
    *) echo "usage: $0 [--keep] [--no-build] [--win64]" >&2; exit 2 ;;
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
if [ -n "$arch" ]; then
  template="$root/$tree/sandbox/template64"
  sandbox="$root/$tree/sandbox/demo64"
  shots="$root/$tree/demo64-screenshots"
  note="${note:+$note }(a 64-bit Windows: the program sees both registry views and both system folders)"
  ./scripts/sandbox.sh new --arch "$arch" "$template" "$sandbox"
else
  ./scripts/sandbox.sh new "$template" "$sandbox"
fi

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
# One Windows session for the whole demo: a wineserver that ended between two
# steps would start the next one as a new boot, which carries out the
# deletions scheduled for the next start before they are shown and checked.
"$WINESERVER" -p
mkdir -p "$sandbox/drive_c/demo"
cp "$tree/StickMedic.exe" "$tree/tests/demo_driver.exe" "$sandbox/drive_c/demo/"
driver() { (cd "$sandbox/drive_c/demo" && "$WINE" 'C:\demo\demo_driver.exe' "$@"); }
report() { cat "$sandbox/drive_c/demo/$1"; }

heading() { printf '\n=== %s\n\n' "$1"; }

heading "1. A PC and its stick, infected"
echo "Planting, in the sandbox $sandbox $note:"
echo "  the script worm (\"load\" value, hijacked txtfile command, autoplay verbs, a running"
echo "  script host, its copies and Autorun.inf in C:\\ and E:\\), hidden folders on the stick"
echo "  stood in for by shortcuts and by small programs, a cmd launcher worm (a hidden file"
echo "  of the user's behind a shortcut of its name that starts the worm's script first),"
echo "  the shortcut hijacker with its script and advertising .url files, the known-file"
echo "  worm's files, a VBS dropper that starts at every logon from a Run value and a"
echo "  hidden copy in the Startup folder, an encoded script started from the stick and"
echo "  from a Run value on the PC through cmd and start, broken Winlogon,"
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

heading "7. The way back: the user's program the impostor rule took, restored through \"恢复…\""
undo=0
driver undo 'C:\demo\undo.txt' || undo=$?
report undo.txt

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
[ $undo -eq 0 ] || { echo "demo: the quarantine did not give its file back."; rc=1; }
exit $rc
