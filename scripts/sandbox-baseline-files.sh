#!/usr/bin/env bash
# Files a real XP has and a fresh Wine prefix lacks, added to the template
# prefix given as $1 so that the cleaning checks find a healthy system. A
# 64-bit prefix gets them in both system folders (system32 for 64-bit
# programs, syswow64 for 32-bit ones).
#
# Where the machine runs no 32-bit Wine, a 64-bit prefix's syswow64 holds no
# programs: the stand-ins there come from system32, and the 32-bit registry
# editor is stood in for by tests/sandbox/regedit32.cpp, built as x86_64,
# which imports into the 32-bit view as the real one does.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
sys32="$1/drive_c/windows/system32"
wow="$1/drive_c/windows/syswow64"
names="userinit.exe smss.exe"
[ -d "$wow" ] && names="$names format.com"
for sys in "$sys32" "$wow"; do
  [ -d "$sys" ] || continue
  # Stand-ins: any executable will do, the checks only open them.
  model="$sys/winver.exe"
  [ -e "$model" ] || model="$sys32/winver.exe"
  for name in $names; do
    [ -e "$sys/$name" ] || cp "$model" "$sys/$name"
  done
done
if [ -d "$wow" ] && [ ! -e "$wow/regedit.exe" ]; then
  x86_64-w64-mingw32-g++ -O2 -s -static -municode -o "$wow/regedit.exe" "$here/../tests/sandbox/regedit32.cpp"
fi
