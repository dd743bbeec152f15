# SPDX-License-Identifier: MIT
# The 32-bit Windows program, cross-built with cmake/toolchain-i686-mingw32.cmake: the portable core,
# the decoders and the program code as on Linux, over the Win32 backend, linked statically.
# nimbrel-cli runs on the headless backend with the OLE picture service; with NIMBREL_TESTS the
# unit and corpus tests are built on it as well, to be run under wine.

# SSE2 for the search kernels' baseline, and SSE arithmetic for floats so that scores round as on
# x86-64 rather than in the x87's wider registers.
add_compile_options(-msse2 -mfpmath=sse)
add_compile_definitions(WINVER=0x0601 _WIN32_WINNT=0x0601 OPJ_STATIC)

include(cmake/program_libraries.cmake)

# The OLE picture service alone, shared by the program and the tests.
add_library(nimbrel_win32_picture STATIC platform/win32/win32_picture.cpp)
target_link_libraries(nimbrel_win32_picture PUBLIC nimbrel_core ole32 oleaut32 uuid gdi32)

file(GLOB NIMBREL_WIN32_SOURCES CONFIGURE_DEPENDS platform/win32/*.cpp)
list(FILTER NIMBREL_WIN32_SOURCES EXCLUDE REGEX "/win32_picture\\.cpp$")
add_library(nimbrel_win32 STATIC ${NIMBREL_WIN32_SOURCES})
target_link_libraries(nimbrel_win32 PUBLIC nimbrel_win32_picture nimbrel_core comctl32 comdlg32
                      gdi32 user32 ole32)

add_executable(nimbrel WIN32 shell/main.cpp resources/nimbrel.rc)
target_link_libraries(nimbrel PRIVATE nimbrel_program nimbrel_win32 nimbrel_core)
# windres finds the icon and the manifest beside the resource script.
target_include_directories(nimbrel PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/resources)
install(TARGETS nimbrel RUNTIME DESTINATION bin)

# The headless backend with the OLE picture service: the command line and the tests run on it.
file(GLOB NIMBREL_HEADLESS_SOURCES CONFIGURE_DEPENDS platform/headless/*.cpp)
add_library(nimbrel_headless STATIC ${NIMBREL_HEADLESS_SOURCES})
target_link_libraries(nimbrel_headless PUBLIC nimbrel_win32_picture nimbrel_core)

if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/cli/CMakeLists.txt)
  add_subdirectory(cli)
endif()

# Unit tests for Windows, run under wine: the headless backend with the OLE picture service and
# GoogleTest from the build machine's source copy (Debian's googletest package).
if(NIMBREL_TESTS AND EXISTS /usr/src/googletest/CMakeLists.txt)
  enable_testing()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

  # psapi: the limited child's memory counters.
  file(GLOB NIMBREL_TEST_SUPPORT CONFIGURE_DEPENDS tests/support/*.cpp)
  add_library(nimbrel_test_support STATIC ${NIMBREL_TEST_SUPPORT})
  target_include_directories(nimbrel_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/tests)
  target_link_libraries(nimbrel_test_support PUBLIC nimbrel_program nimbrel_headless nimbrel_core
                        gtest psapi)

  # Under wine on qemu every limited child costs about half a second to start, so the corpus run
  # of the store's load is cut into GoogleTest shards that ctest can run side by side, and the
  # costs (rough seconds) start the long runs first.
  set(NIMBREL_WIN32_SHARDS_corpus_acquisition_test 4)
  set(NIMBREL_WIN32_COST_corpus_fallback_test 400)
  set(NIMBREL_WIN32_COST_corpus_acquisition_test 300)
  set(NIMBREL_WIN32_COST_corpus_stereograms_test 50)
  set(NIMBREL_WIN32_COST_cli_test 25)
  # Processor seconds per corpus file. qemu runs the readers 6 to 10 times slower than the build
  # machine: the slowest JPEG 2000 codestreams take 0.85 s on Linux and 5 s here, against 2 s there.
  set(NIMBREL_WIN32_CORPUS_SECONDS 20 CACHE STRING "Processor seconds per corpus file under wine")
  set(NIMBREL_WINE wine CACHE STRING "Runs the Windows test programs")
  set(NIMBREL_SHARED_DIR "${CMAKE_SOURCE_DIR}/../shared" CACHE PATH "Shared corpora and stereograms")
  file(GLOB NIMBREL_TESTS CONFIGURE_DEPENDS tests/*_test.cpp)
  foreach(test_source ${NIMBREL_TESTS})
    get_filename_component(test_name ${test_source} NAME_WE)
    add_executable(${test_name} ${test_source})
    target_link_libraries(${test_name} PRIVATE nimbrel_test_support gtest_main)
    set(filter "")
    if(DEFINED NIMBREL_WIN32_FILTER_${test_name})
      set(filter "--gtest_filter=-${NIMBREL_WIN32_FILTER_${test_name}}")
    endif()
    set(labels unit)
    set(environment "NIMBREL_SHARED=${NIMBREL_SHARED_DIR};NIMBREL_FIXTURES=${CMAKE_SOURCE_DIR}/tests/fixtures;NIMBREL_BINARY_DIR=${CMAKE_BINARY_DIR};WINEDEBUG=-all")
    set(cost 1)
    if(DEFINED NIMBREL_WIN32_COST_${test_name})
      set(cost ${NIMBREL_WIN32_COST_${test_name}})
    endif()
    if(test_name MATCHES "corpus")
      set(labels corpus)
      list(APPEND environment "NIMBREL_CORPUS_SECONDS=${NIMBREL_WIN32_CORPUS_SECONDS}")
    endif()
    set(shards 1)
    if(DEFINED NIMBREL_WIN32_SHARDS_${test_name})
      set(shards ${NIMBREL_WIN32_SHARDS_${test_name}})
    endif()
    if(shards EQUAL 1)
      add_test(NAME win32.${test_name} COMMAND ${NIMBREL_WINE} $<TARGET_FILE:${test_name}> ${filter})
      set_tests_properties(win32.${test_name} PROPERTIES LABELS "${labels}" TIMEOUT 900
        COST ${cost} ENVIRONMENT "${environment}")
    else()
      math(EXPR last "${shards} - 1")
      foreach(shard RANGE ${last})
        add_test(NAME win32.${test_name}.${shard}
                 COMMAND ${NIMBREL_WINE} $<TARGET_FILE:${test_name}> ${filter})
        set_tests_properties(win32.${test_name}.${shard} PROPERTIES LABELS "${labels}" TIMEOUT 900
          COST ${cost} ENVIRONMENT "${environment};GTEST_TOTAL_SHARDS=${shards};GTEST_SHARD_INDEX=${shard}")
      endforeach()
    endif()
  endforeach()
endif()
