#!/usr/bin/env bash
# Files a real XP has and a fresh Wine prefix lacks, added to the template
# prefix given as $1 so that the cleaning checks find a healthy system. A
# 64-bit prefix gets them in both system folders (system32 for 64-bit
# programs, syswow64 for 32-bit ones). Where the machine has no 32-bit Wine,
# syswow64 holds few programs: the stand-ins then come from system32.
set -euo pipefail
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
