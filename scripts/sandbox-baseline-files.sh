#!/usr/bin/env bash
# Files a real XP has and a fresh Wine prefix lacks, added to the template
# prefix given as $1 so that the cleaning checks find a healthy system.
set -euo pipefail
sys="$1/drive_c/windows/system32"
for name in userinit.exe smss.exe; do
  # Stand-ins: any executable will do, the checks only open them.
  [ -e "$sys/$name" ] || cp "$sys/winver.exe" "$sys/$name"
done
