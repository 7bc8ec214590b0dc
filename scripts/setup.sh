#!/usr/bin/env bash
# Installs, idempotently, what building and testing StickMedic needs on a
# Debian 12 machine (run as root): the mingw-w64 cross compilers (i686 for the
# program, x86_64 for tests where 32-bit Wine cannot run), Wine (32 and 64-bit),
# Xvfb, a CJK font, the zh_CN.UTF-8 locale and the GoogleTest sources.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for p in g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 xvfb xauth x11-utils \
         fonts-wqy-microhei file \
         locales googletest cmake ninja-build imagemagick python3; do
  have_pkg "$p" || need+=("$p")
done

if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# Wine needs a glibc locale with code page 936 semantics, or it falls back to
# 1252 and cannot name files in Chinese.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf8$'; then
  echo "setup: generating locale zh_CN.UTF-8"
  localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
fi
echo "setup: ok"
