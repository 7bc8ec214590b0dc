#!/usr/bin/env bash
# Runs a test program in a fresh sandbox whose stick (E:) holds symbolic
# links, as a stick formatted with NTFS holds junctions and symbolic links.
# Wine lists a link of its host's file system as a reparse point; a Windows
# program in Wine cannot make one, so they are made here, before anything
# runs. Every link points into the sandbox's own C: drive (C:\elsewhere),
# which the test program fills:
#   E:\j, E:\RECYCLER.BIN       -> C:\elsewhere
#   E:\sysvolume\deep           -> C:\elsewhere
#   E:\hid\lib.dll              -> C:\elsewhere\lib.dll
#   E:\x.lnk                    -> C:\elsewhere\x.lnk
#   with_stick_links.sh TEMPLATE EXE [ARGS...]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
sandbox="$here/../scripts/sandbox.sh"
template="$1"
shift
mkdir -p "$(dirname "$template")"
copy="$(mktemp -d "$(dirname "$template")/links.XXXXXX")"
cleanup() { "$sandbox" stop "$copy" >/dev/null 2>&1 || true; rm -rf "$copy"; }
trap cleanup EXIT
"$sandbox" new "$template" "$copy"
stick="$copy/stick"
mkdir -p "$copy/drive_c/elsewhere" "$stick/sysvolume" "$stick/hid"
ln -s ../drive_c/elsewhere "$stick/j"
ln -s ../drive_c/elsewhere "$stick/RECYCLER.BIN"
ln -s ../../drive_c/elsewhere "$stick/sysvolume/deep"
ln -s ../../drive_c/elsewhere/lib.dll "$stick/hid/lib.dll"
ln -s ../drive_c/elsewhere/x.lnk "$stick/x.lnk"
# No link may leave the sandbox.
inside="$(realpath "$copy")"
for link in "$stick/j" "$stick/RECYCLER.BIN" "$stick/sysvolume/deep" "$stick/hid/lib.dll" "$stick/x.lnk"; do
  case "$(realpath -m "$link")" in
    "$inside"/*) ;;
    *) echo "with_stick_links: $link leaves the sandbox" >&2; exit 2 ;;
  esac
done
"$sandbox" exec "$copy" "$@"
