#!/usr/bin/env bash
# Runs a command as it would run on a machine whose kernel runs no 32-bit
# programs: in a private mount namespace (root only) where 32-bit Wine's
# loader, server and libraries are hidden behind empty mounts, so that Wine
# can start no 32-bit program at all and the scripts take the 64-bit path
# (scripts/lib/wine-env.sh).
#   scripts/without-wine32.sh COMMAND [ARGS...]
# Where 32-bit Wine does not run anyway, the command runs as it is.
#
# Wine 8's 64-bit loader looks for its 32-bit twin beside its own binary,
# then beside $WINELOADER, then in every $PATH folder: hiding the files of
# the 32-bit packages covers every one of those.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/lib/wine-env.sh"

[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }

if [ -n "${STICKMEDIC_WINE32_HIDDEN:-}" ] || ! wine32_runs; then
  exec "$@"
fi
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null; then
  echo "without-wine32: hiding 32-bit Wine needs root and unshare" >&2
  exit 2
fi

# The files of the 32-bit packages, and an empty stand-in for each.
list="$(mktemp)"
for pkg in wine32:i386 libwine:i386; do
  dpkg -L "$pkg" 2>/dev/null || true
done | sort -u > "$list"

export STICKMEDIC_WINE32_HIDDEN=1
rc=0
unshare -m --propagation private bash -s "$list" "$@" <<'EOF' || rc=$?
set -euo pipefail
list="$1"; shift
empty="$(mktemp)"
# A folder that holds nothing but the 32-bit libraries goes whole.
while read -r path; do
  case "$path" in
    */i386-linux-gnu/wine) [ -d "$path" ] && mount -t tmpfs -o ro,size=4k none "$path" ;;
  esac
done < "$list"
hidden=0
while read -r path; do
  case "$path" in */i386-linux-gnu/wine/*) continue ;; esac
  [ -f "$path" ] && [ ! -L "$path" ] || continue
  mount --bind "$empty" "$path"
  hidden=$((hidden + 1))
done < "$list"
rm -f "$list"
echo "without-wine32: 32-bit Wine hidden ($hidden files, and the i386 Wine libraries)"
exec "$@"
EOF
rm -f "$list"
exit $rc
