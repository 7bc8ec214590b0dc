#!/usr/bin/env bash
# Files a real XP has and a fresh Wine prefix lacks, added to the template
# prefix given as $1 so that the cleaning checks find a healthy system. A
# 64-bit prefix gets them in both system folders (system32 for 64-bit
# programs, syswow64 for 32-bit ones), each from a program of its own kind.
set -euo pipefail
names="userinit.exe smss.exe"
[ -d "$1/drive_c/windows/syswow64" ] && names="$names format.com"
for sys in "$1/drive_c/windows/system32" "$1/drive_c/windows/syswow64"; do
  [ -d "$sys" ] || continue
  for name in $names; do
    # Stand-ins: any executable will do, the checks only open them.
    [ -e "$sys/$name" ] || cp "$sys/winver.exe" "$sys/$name"
  done
done
