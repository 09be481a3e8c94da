# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (packages g++-mingw-w64-x86-64-posix
# and libz-mingw-w64-dev; scripts/setup.sh windows installs them).
#
# The posix thread model is the one whose libstdc++ has the C++ thread library (threads, mutexes,
# condition variables); the win32 one lacks it in GCC 12.
#
# Libraries come only from the target's own trees: the prefix that `scripts/windows.sh deps`
# fills (WIN64_DEPS_PREFIX, .deps/win64/prefix of this checkout unless given) and Debian's
# MinGW-w64 tree, where zlib is. Nothing of the build machine's /usr is ever picked up, neither by
# find_package nor by pkg-config.
#
# Executables link everything statically (libgcc, libstdc++, winpthread and the libraries of the
# prefix), so that a .exe needs only the DLLs that every Windows has.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# CMake would guess the binutils from the compilers' names; the "-posix" suffix makes that guess
# less obvious, so name them.
set(CMAKE_AR x86_64-w64-mingw32-ar CACHE FILEPATH "Archiver for the Windows target")
set(CMAKE_RANLIB x86_64-w64-mingw32-ranlib CACHE FILEPATH "Ranlib for the Windows target")

set(WIN64_MINGW_ROOT /usr/x86_64-w64-mingw32)
if(NOT WIN64_DEPS_PREFIX)
  get_filename_component(WIN64_DEPS_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../../.deps/win64/prefix"
                         ABSOLUTE)
endif()
set(WIN64_DEPS_PREFIX "${WIN64_DEPS_PREFIX}" CACHE PATH
    "Install prefix of the cross-built libraries (scripts/windows.sh deps)")
# try_compile projects read this file again; they must see the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WIN64_DEPS_PREFIX)

list(APPEND CMAKE_FIND_ROOT_PATH "${WIN64_DEPS_PREFIX}" "${WIN64_MINGW_ROOT}")
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the target's .pc files: PKG_CONFIG_LIBDIR replaces its built-in
# search path (the host's), and a PKG_CONFIG_PATH left in the caller's environment would add
# host directories back.
set(ENV{PKG_CONFIG_LIBDIR} "${WIN64_DEPS_PREFIX}/lib/pkgconfig:${WIN64_MINGW_ROOT}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
unset(ENV{PKG_CONFIG_SYSROOT_DIR})

# -static takes libgcc, libstdc++ and winpthread as archives too; the MinGW-w64 import libraries of
# Windows' own DLLs (kernel32, ws2_32, crypt32, ...) stay what they are.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# Tests and try_run() start the .exe under Wine when it is installed. Debian's wine64 package puts
# the 64-bit loader in /usr/lib/wine, outside PATH. Pass -DCMAKE_CROSSCOMPILING_EMULATOR= (empty)
# to do without.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(WIN64_WINE NAMES wine64 PATHS /usr/lib/wine NO_CACHE)
  if(WIN64_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${WIN64_WINE}" CACHE FILEPATH
        "Runs the Windows executables on the build machine")
  endif()
endif()
