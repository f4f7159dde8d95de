# Cross-building kelparc.exe for 64-bit Windows with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64-posix; the -posix flavour has std::thread).  The
# programs are linked statically, so they need only KERNEL32.dll and
# msvcrt.dll, and the tests run under Wine:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#   cmake --build build-win -j2 && ctest --test-dir build-win
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KELPARC_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KELPARC_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELPARC_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KELPARC_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KELPARC_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# The 64-bit Wine loader runs the built programs (tests, try_run).
find_program(KELPARC_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_DEFAULT_PATH)
if(NOT KELPARC_WINE64)
  find_program(KELPARC_WINE64 NAMES wine64 wine)
endif()
if(KELPARC_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELPARC_WINE64})
endif()
