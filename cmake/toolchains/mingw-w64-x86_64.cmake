# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix).
# The "posix" compilers: their libstdc++ has std::thread and std::mutex (the win32 ones do not).
#   cmake -S . -B build/windows --toolchain cmake/toolchains/mingw-w64-x86_64.cmake
# Tests run through Wine (CMAKE_CROSSCOMPILING_EMULATOR); scripts/test-windows.sh does it all.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run under Wine: Debian's wine64 loader, or whatever the user names.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(BMPFUN_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
  if(BMPFUN_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${BMPFUN_WINE})
  endif()
endif()
