# Cross toolchain for the mingw-w64 compilers on Debian.
# STICKMEDIC_ARCH selects the target: i686 (the program as shipped) or
# x86_64 (the test build for machines that cannot run 32-bit Wine).
set(CMAKE_SYSTEM_NAME Windows)
if(NOT DEFINED STICKMEDIC_ARCH)
  set(STICKMEDIC_ARCH i686)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${STICKMEDIC_ARCH})
set(_triple ${STICKMEDIC_ARCH}-w64-mingw32)

# The posix thread model: GoogleTest needs std::mutex, which GCC 12's win32
# model lacks. Everything is linked statically, so no winpthread DLL ships.
set(CMAKE_C_COMPILER   ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER  ${_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
