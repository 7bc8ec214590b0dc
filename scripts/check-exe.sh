#!/usr/bin/env bash
# Checks the shipped program: PE32 for i386, GUI subsystem, and imports of
# system DLLs only (no C++, GCC or thread runtime DLL beside it).
set -euo pipefail
exe="$1"
dump="$(i686-w64-mingw32-objdump -p "$exe")"
fail() { echo "check-exe: $exe: $*" >&2; exit 1; }
grep -q '^Magic[[:space:]]*010b' <<<"$dump" || fail "not PE32"
file "$exe" | grep -q 'Intel 80386' || fail "not i386"
grep -qE '^Subsystem[[:space:]]+00000002' <<<"$dump" || fail "not a GUI program"
allowed='^(kernel32|user32|gdi32|advapi32|shell32|shlwapi|comctl32|comdlg32|ole32|oleaut32|wininet|psapi|msvcrt|version)\.dll$'
bad=0
while read -r dll; do
  if ! tr 'A-Z' 'a-z' <<<"$dll" | grep -qE "$allowed"; then echo "check-exe: unexpected import $dll" >&2; bad=1; fi
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump")
[ $bad -eq 0 ] || fail "imports more than system DLLs"
echo "check-exe: $exe: PE32 i386 GUI, imports: $(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr '\n' ' ')"
