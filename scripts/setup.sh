#!/usr/bin/env bash
# Installs, idempotently, what building and testing StickMedic needs on a
# Debian 12 machine (run as root): the mingw-w64 cross compilers (i686 for the
# program, x86_64 for tests where 32-bit Wine cannot run), Wine (64-bit, and
# 32-bit where it can be had), Xvfb, a CJK font, the zh_CN.UTF-8 locale and
# the GoogleTest sources.
#
# A package index that fails to download in part (a mirror in sync) is
# retried and then left as it is; 32-bit Wine is optional: where it cannot be
# installed, the tests take the 64-bit path (scripts/lib/wine-env.sh). Nothing
# installed is ever removed or downgraded.
set -euo pipefail

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing() { local p; for p in "$@"; do have_pkg "$p" || echo "$p"; done; }

required=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 xvfb xauth x11-utils
          fonts-wqy-microhei file locales googletest cmake ninja-build imagemagick python3)
optional=(wine32:i386)

apt_install() { # apt_install PACKAGE...: never removes or downgrades anything
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    --no-remove "$@" >/dev/null
}

updated=
apt_update() {
  [ -n "$updated" ] && return 0
  updated=1
  # A mirror in sync serves an index of the wrong size now and then: retry,
  # and go on with what did download (the install below says if it was not
  # enough).
  local log
  log="$(mktemp)"
  if ! apt-get update -qq -o Acquire::Retries=3 >"$log" 2>&1; then
    echo "setup: the package index downloaded only in part ($(grep -m1 -E '^E:' "$log" | cut -c1-160));" \
         "going on with it"
  fi
  rm -f "$log"
}

mapfile -t need < <(missing "${required[@]}")
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  apt_update
  apt_install "${need[@]}"
fi

# Whether this kernel runs 32-bit programs at all: a 93-byte i386 program
# that only exits. Only "Exec format error" says no; anything else (a noexec
# /tmp, a crash) leaves the question open, and 32-bit Wine is tried.
kernel_runs_i386() {
  local probe out rc=0
  probe="$(mktemp)"
  printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' > "$probe"
  chmod +x "$probe"
  out="$("$probe" 2>&1)" || rc=$?
  rm -f "$probe"
  ! { [ $rc -eq 126 ] && grep -q 'Exec format error' <<<"$out"; }
}

if [ -n "${STICKMEDIC_NO_WINE32:-}" ]; then
  :
elif ! kernel_runs_i386; then
  have_pkg wine32:i386 ||
    echo "setup: this kernel runs no 32-bit programs: no 32-bit Wine; the tests take the 64-bit path"
else
  mapfile -t need < <(missing "${optional[@]}")
  if [ ${#need[@]} -gt 0 ]; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      dpkg --add-architecture i386
      updated=
    fi
    apt_update
    err="$(mktemp)"
    if ! apt_install "${need[@]}" 2>"$err"; then
      echo "setup: 32-bit Wine could not be installed ($(grep -m1 -E '^E:' "$err" || echo 'apt-get failed'));" \
           "the tests take the 64-bit path"
    fi
    rm -f "$err"
  fi
fi

# Wine needs a glibc locale with code page 936 semantics, or it falls back to
# 1252 and cannot name files in Chinese.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf8$'; then
  echo "setup: generating locale zh_CN.UTF-8"
  localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
fi
echo "setup: ok"
