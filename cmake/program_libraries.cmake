# SPDX-License-Identifier: MIT
# The libraries every build of Nimbrel shares, on Linux and cross-built for Windows: the portable
# core of the platform layer, the registered decoders over the system's image libraries, and the
# program code.

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(PNG REQUIRED)
find_package(JPEG REQUIRED)
find_package(TIFF REQUIRED)
find_package(ZLIB REQUIRED)
pkg_check_modules(OPENJP2 REQUIRED IMPORTED_TARGET libopenjp2)

# The portable core of the platform layer: image store and file load, built-in readers, decoder
# registry, threads, memory, clock, files.
file(GLOB NIMBREL_CORE_SOURCES CONFIGURE_DEPENDS platform/*.cpp)
add_library(nimbrel_core STATIC ${NIMBREL_CORE_SOURCES})
target_include_directories(nimbrel_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(nimbrel_core PUBLIC Threads::Threads)

# The registered decoders (JPEG 2000, JPEG, PNG, TGA, TIFF). Where libtiff is a static library (the
# Windows build), the codecs' libraries it uses must follow it on the link line.
file(GLOB NIMBREL_DECODER_SOURCES CONFIGURE_DEPENDS shell/decoder_*.cpp)
add_library(nimbrel_decoders STATIC ${NIMBREL_DECODER_SOURCES})
target_link_libraries(nimbrel_decoders PUBLIC nimbrel_core PNG::PNG TIFF::TIFF JPEG::JPEG
                      PkgConfig::OPENJP2 ZLIB::ZLIB)

# Program code: the cycle, viewer and fallback, the stages, the progress window.
file(GLOB NIMBREL_PROGRAM_SOURCES CONFIGURE_DEPENDS shell/*.cpp decode/*.cpp progress/*.cpp)
list(FILTER NIMBREL_PROGRAM_SOURCES EXCLUDE REGEX "/shell/(main|decoder_[^/]*)\\.cpp$")
add_library(nimbrel_program STATIC ${NIMBREL_PROGRAM_SOURCES})
target_link_libraries(nimbrel_program PUBLIC nimbrel_decoders nimbrel_core)
