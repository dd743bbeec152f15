# SPDX-License-Identifier: MIT
# Cross build for 32-bit Windows with Debian's mingw-w64 (the -posix compilers, for std::thread).
# NIMBREL_WIN32_PREFIX names the folder holding the image libraries built for the target.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(NIMBREL_MINGW i686-w64-mingw32)
set(CMAKE_C_COMPILER ${NIMBREL_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NIMBREL_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${NIMBREL_MINGW}-windres)
set(CMAKE_AR ${NIMBREL_MINGW}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${NIMBREL_MINGW}-gcc-ranlib-posix CACHE FILEPATH "")

if(NOT NIMBREL_WIN32_PREFIX AND DEFINED ENV{NIMBREL_WIN32_PREFIX})
  set(NIMBREL_WIN32_PREFIX $ENV{NIMBREL_WIN32_PREFIX})
endif()
if(NOT NIMBREL_WIN32_PREFIX)
  set(NIMBREL_WIN32_PREFIX $ENV{HOME}/.cache/nimbrel-win32/prefix)
endif()
set(NIMBREL_WIN32_PREFIX ${NIMBREL_WIN32_PREFIX} CACHE PATH "Image libraries built for i686 Windows")
# Try-compile projects get the toolchain file again; they need the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NIMBREL_WIN32_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${NIMBREL_MINGW} ${NIMBREL_WIN32_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see the target's .pc files only, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} ${NIMBREL_WIN32_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# The libraries in the prefix are static only; so are the C, C++ and thread runtimes.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
