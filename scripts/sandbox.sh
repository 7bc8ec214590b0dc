#!/usr/bin/env bash
# Throwaway Wine sandboxes for StickMedic.
#
#   sandbox.sh template [--arch A] DIR make the template prefix DIR once
#   sandbox.sh new [--arch A] TEMPLATE COPY
#                                      a fresh copy of the template
#   sandbox.sh run --template DIR [--arch A] [--keep] [--with FILE]... [--collect DIR] EXE [ARGS...]
#                                      run EXE in a fresh copy, then dispose of it;
#                                      --with copies FILE to C:\tests beside it,
#                                      --collect copies C:\tests\shots out to DIR
#   sandbox.sh exec COPY EXE [ARGS...] run EXE in an existing copy
#   sandbox.sh stop COPY               end the copy's wineserver
#
# Drives in every sandbox: C: fixed, D: a CD drive without medium, E: a
# removable stick on the folder "stick" inside the prefix. There is never a
# Z: drive: Wine maps it to the host's /, and the program walks every root.
#
# --arch win64 makes (or uses) a 64-bit prefix: 32-bit programs run there
# under WOW64 with both registry views and both system folders, each holding
# the healthy baseline. Without it the prefix is this machine's usual kind
# (scripts/lib/wine-env.sh). A copy remembers its kind (.stickmedic-arch).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
. "$here/lib/wine-env.sh"
. "$here/lib/display.sh"

die() { echo "sandbox: $*" >&2; exit 2; }

# Every drive link must stay inside the prefix (or point nowhere).
check_drives() {
  local pfx dev target
  pfx="$(realpath "$1")"
  [ -e "$pfx/dosdevices/z:" ] || [ -L "$pfx/dosdevices/z:" ] && die "Z: drive in $pfx"
  for dev in "$pfx"/dosdevices/?: "$pfx"/dosdevices/?::; do
    [ -L "$dev" ] || continue
    target="$(cd "$pfx/dosdevices" && realpath -m "$(readlink "$dev")")"
    case "$target" in
      "$pfx"/*) ;;
      *) die "drive $(basename "$dev") leaves the sandbox: $target" ;;
    esac
  done
  # Nor may a link on C: lead out (Wine links Desktop, Documents and
  # the like to the host's home).
  while IFS= read -r -d '' dev; do
    target="$(realpath -m "$dev")"
    case "$target" in
      "$pfx"/*) ;;
      *) die "${dev#"$pfx"/} leaves the sandbox: $target" ;;
    esac
  done < <(find "$pfx/drive_c" -type l -print0 2>/dev/null)
}

# The profile's shell folders as folders of the sandbox's own, where Wine
# made them links to the host's home.
own_profile_folders() {
  local link
  while IFS= read -r -d '' link; do
    rm -f "$link"
    mkdir -p "$link"
  done < <(find "$1/drive_c/users" -type l -print0 2>/dev/null)
}

reg_import() { # reg_import FILE [EDITOR] (UTF-8 text, converted to the UTF-16 regedit reads)
  local tmp="$WINEPREFIX/drive_c/import.reg"
  { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$1"; } > "$tmp"
  (cd "$WINEPREFIX/drive_c" && "$WINE" "${2:-regedit}" /s 'C:\import.reg')
  "$WINESERVER" -w
  rm -f "$tmp"
}

# The healthy baseline in a 64-bit prefix: the native view by the 64-bit
# registry editor, the 32-bit view by the 32-bit one (where the machine runs
# no 32-bit Wine, the stand-in sandbox-baseline-files.sh puts in its place),
# and what a stock 64-bit prefix lacks besides.
baseline_win64() {
  local editor
  for editor in regedit 'C:\windows\syswow64\regedit.exe'; do
    reg_import "$root/tests/sandbox/baseline.reg" "$editor"
    reg_import "$root/tests/sandbox/baseline-win64.reg" "$editor"
  done
}

# What the template is made from: a change to any of it makes a new one.
template_stamp() {
  # The files in one order whatever the caller's locale (a Chinese one sorts
  # "baseline-win64.reg" after "baseline.reg", the C locale before it).
  local LC_ALL=C
  { echo "$1"; wine32_runs && echo wine32; cat "$here/sandbox.sh" "$here/sandbox-baseline-files.sh" "$here/lib/wine-env.sh" \
      "$root/tests/sandbox/regedit32.cpp" \
      "$root"/tests/sandbox/*.reg; } | sha1sum | cut -d' ' -f1
}

make_template() { # make_template DIR [ARCH]
  local dir="$1" arch="${2:-$(wine_probe_arch)}" tmp stamp
  stamp="$(template_stamp "$arch")"
  [ "$(cat "$dir/.complete" 2>/dev/null)" = "$stamp" ] && return 0
  mkdir -p "$(dirname "$dir")"
  exec 9>"$dir.lock"
  flock 9
  [ "$(cat "$dir/.complete" 2>/dev/null)" = "$stamp" ] && return 0
  rm -rf "$dir"
  tmp="$dir.new"
  rm -rf "$tmp"
  wine_setup "$tmp" "$arch"
  echo "sandbox: making the template ($WINEARCH) in $dir" >&2
  (cd "$(dirname "$tmp")" && DISPLAY= "$WINE" wineboot -i >/dev/null 2>&1) || true
  "$WINESERVER" -w
  # Drives: no Z:, D: a CD drive without medium, E: a removable stick.
  own_profile_folders "$tmp"
  rm -f "$tmp/dosdevices/z:" "$tmp/dosdevices/"?::
  ln -s ../cdrom-without-medium "$tmp/dosdevices/d:"
  mkdir -p "$tmp/stick"
  ln -s ../stick "$tmp/dosdevices/e:"
  check_drives "$tmp"
  reg_import "$root/tests/sandbox/wine-settings.reg"
  "$here/sandbox-baseline-files.sh" "$tmp"
  if [ "$arch" = win64 ]; then baseline_win64; else reg_import "$root/tests/sandbox/baseline.reg"; fi
  echo "$arch" > "$tmp/.stickmedic-arch"
  "$WINESERVER" -k 2>/dev/null || true
  "$WINESERVER" -w
  check_drives "$tmp"
  echo "$stamp" > "$tmp/.complete"
  mv "$tmp" "$dir"
}

new_copy() { # new_copy TEMPLATE COPY [ARCH]
  make_template "$1" "${3:-}"
  rm -rf "$2"
  cp -a "$1" "$2"
  check_drives "$2"
}

exec_in() { # exec_in COPY EXE ARGS...: copies EXE to C:\tests and runs it there
  local copy="$1" exe="$2"; shift 2
  check_drives "$copy"
  wine_setup "$(realpath "$copy")"
  mkdir -p "$WINEPREFIX/drive_c/tests"
  cp "$exe" "$WINEPREFIX/drive_c/tests/"
  local rc=0
  (cd "$WINEPREFIX/drive_c/tests" && "$WINE" "C:\\tests\\$(basename "$exe")" "$@") || rc=$?
  return $rc
}

stop_copy() { wine_setup "$(realpath "$1")"; "$WINESERVER" -k 2>/dev/null || true; "$WINESERVER" -w 2>/dev/null || true; }

cmd="${1:-}"; shift || true
arch=
if [ "${1:-}" = --arch ]; then arch="$2"; shift 2; fi
case "$arch" in ''|win32|win64) ;; *) die "unknown arch $arch" ;; esac
case "$cmd" in
  template) make_template "$1" "$arch" ;;
  new) new_copy "$1" "$2" "$arch" ;;
  exec) exec_in "$@" ;;
  stop) stop_copy "$1" ;;
  run)
    template= keep= collect=
    with=()
    while [ $# -gt 0 ]; do
      case "$1" in
        --template) template="$2"; shift 2 ;;
        --arch) arch="$2"; shift 2 ;;
        --keep) keep=1; shift ;;
        --with) with+=("$2"); shift 2 ;;
        --collect) collect="$2"; shift 2 ;;
        *) break ;;
      esac
    done
    [ -n "$template" ] && [ $# -ge 1 ] || die "usage: run --template DIR [--keep] EXE [ARGS...]"
    mkdir -p "$(dirname "$template")"
    copy="$(mktemp -d "$(dirname "$template")/run.XXXXXX")"
    new_copy "$template" "$copy" "$arch"
    mkdir -p "$copy/drive_c/tests"
    for f in "${with[@]}"; do cp "$f" "$copy/drive_c/tests/"; done
    start_display
    rc=0
    exec_in "$copy" "$@" || rc=$?
    stop_copy "$copy"
    if [ -n "$collect" ] && [ -d "$copy/drive_c/tests/shots" ]; then
      mkdir -p "$collect"
      for shot in "$copy"/drive_c/tests/shots/*.bmp; do
        [ -e "$shot" ] || continue
        convert "$shot" "$collect/$(basename "${shot%.bmp}").png" 2>/dev/null || cp "$shot" "$collect/"
      done
    fi
    stop_display
    if [ -n "$keep" ]; then echo "sandbox: kept $copy" >&2; else rm -rf "$copy"; fi
    exit $rc
    ;;
  *) die "usage: sandbox.sh template|new|run|exec|stop ..." ;;
esac
