# Sourced by the scripts: how to call Wine on this machine.
#
# The program is 32-bit and its natural test bed is a 32-bit Wine prefix.
# Some kernels run no 32-bit Linux program at all (IA-32 emulation switched
# off), and 32-bit Wine with them; there the tests run an x86_64 build of the
# same sources in a 64-bit prefix. STICKMEDIC_WINE_ARCH forces either.

# Whether this machine runs 32-bit Wine at all (then also 32-bit programs
# under WOW64 in a 64-bit prefix).
wine32_runs() { [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; }

wine_probe_arch() {
  if [ -n "${STICKMEDIC_WINE_ARCH:-}" ]; then echo "$STICKMEDIC_WINE_ARCH"; return; fi
  if wine32_runs; then echo win32; else echo win64; fi
}

# The glibc locale Wine needs for code page 936; scripts/setup.sh makes it.
wine_locale_ready() { [ "$(LC_ALL=zh_CN.UTF-8 locale charmap 2>/dev/null)" = UTF-8 ]; }

# wine_setup PREFIX [ARCH]: exports the environment every Wine command of
# ours uses. The architecture is ARCH, else the one the prefix was made with
# (its file .stickmedic-arch), else this machine's. Without the locale it
# stops with a hint instead of a shell warning.
wine_setup() {
  if ! wine_locale_ready; then
    echo "wine-env: the locale zh_CN.UTF-8 is missing; run ./scripts/setup.sh first" >&2
    return 1
  fi
  export WINEPREFIX="$1"
  if [ -n "${2:-}" ]; then
    WINEARCH="$2"
  elif [ -r "$1/.stickmedic-arch" ]; then
    WINEARCH="$(cat "$1/.stickmedic-arch")"
  else
    WINEARCH="${WINEARCH:-$(wine_probe_arch)}"
  fi
  export WINEARCH
  # Told to the test programs inside the prefix (Wine hands the environment
  # on): where no 32-bit program can start, the checks that only mean
  # something for one (the 32-bit registry editor in SysWOW64, WOW64's
  # redirection of a 32-bit process) skip with a reason.
  if wine32_runs; then STICKMEDIC_WINE32=1; else STICKMEDIC_WINE32=0; fi
  export STICKMEDIC_WINE32
  if [ "$WINEARCH" = win32 ]; then
    WINE=/usr/lib/wine/wine
    export WINESERVER=/usr/lib/wine/wineserver32
  else
    # 32-bit programs in a 64-bit prefix run under Wine's WOW64: the
    # 64-bit loader hands them to the 32-bit one.
    WINE=/usr/lib/wine/wine64
    export WINESERVER=/usr/lib/wine/wineserver64
  fi
  export WINELOADER="$WINE"
  # Code page 936 as on the target systems; the glibc locale must exist.
  export LC_ALL=zh_CN.UTF-8
  export WINEDEBUG="${STICKMEDIC_WINEDEBUG:--all}"
  # No Mono/Gecko installer dialogs, no menu entries on the host.
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
}

# The mingw target that runs in this machine's sandboxes.
wine_test_target() {
  if [ "$(wine_probe_arch)" = win32 ]; then echo i686; else echo x86_64; fi
}
