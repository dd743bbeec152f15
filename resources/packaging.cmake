# SPDX-License-Identifier: MIT
# Install rules for the desktop integration (entry, metainfo, icons, manual pages, samples) and the
# CPack settings that turn an install tree into a Debian package.

set(NIMBREL_RESOURCES ${CMAKE_CURRENT_LIST_DIR})
set(NIMBREL_APP_ID io.github.nimbrel.Nimbrel)

# Manual pages go in gzipped, as Debian ships them; -n keeps the package the same from build to build.
find_program(NIMBREL_GZIP gzip)
set(NIMBREL_MAN_PAGES ${NIMBREL_RESOURCES}/nimbrel-cli.1)
if(NIMBREL_GTK)
  list(APPEND NIMBREL_MAN_PAGES ${NIMBREL_RESOURCES}/nimbrel.1)
endif()
set(NIMBREL_MAN_OUTPUTS)
foreach(page ${NIMBREL_MAN_PAGES})
  get_filename_component(page_name ${page} NAME)
  if(NIMBREL_GZIP)
    set(page_out ${PROJECT_BINARY_DIR}/man/${page_name}.gz)
    add_custom_command(OUTPUT ${page_out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${NIMBREL_GZIP} -9 -n -c ${page} > ${page_out}
      DEPENDS ${page} VERBATIM)
    list(APPEND NIMBREL_MAN_OUTPUTS ${page_out})
  else()
    list(APPEND NIMBREL_MAN_OUTPUTS ${page})
  endif()
endforeach()
add_custom_target(nimbrel_man_pages ALL DEPENDS ${NIMBREL_MAN_OUTPUTS})
install(FILES ${NIMBREL_MAN_OUTPUTS} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

if(NIMBREL_GTK)
  install(FILES ${NIMBREL_RESOURCES}/nimbrel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${NIMBREL_RESOURCES}/${NIMBREL_APP_ID}.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  foreach(size 16 32 48 64 128 256)
    install(FILES ${NIMBREL_RESOURCES}/icons/hicolor/${size}x${size}/apps/nimbrel.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
endif()
file(GLOB NIMBREL_SAMPLES ${PROJECT_SOURCE_DIR}/samples/*.png)
install(FILES ${NIMBREL_SAMPLES} DESTINATION ${CMAKE_INSTALL_DATADIR}/nimbrel/samples)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

# The program finds its window icons under the prefix it was configured with, so the package
# installs there too; configure with -DCMAKE_INSTALL_PREFIX=/usr for a package that belongs in /usr.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Packages will install under ${CMAKE_INSTALL_PREFIX}; "
                 "configure with -DCMAKE_INSTALL_PREFIX=/usr for a distribution-style package")
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nimbrel)
set(CPACK_PACKAGE_VENDOR "The Nimbrel developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reveals the hidden shape in a single-image autostereogram")
set(CPACK_PACKAGE_DESCRIPTION "Nimbrel finds the width at which the pattern of an autostereogram \
(a magic eye picture) repeats, subtracts from every pixel the pixel one repeat width to its right, \
stretches the levels and shows the hidden shape in a window. nimbrel-cli does the same from the \
command line and writes PNG files.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Nimbrel developers <nimbrel@users.noreply.github.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The gdk-pixbuf loaders are only loaded by the picture fallback, never linked, so no library scan
# finds them; zlib is named too because the linker drops it when only libpng calls it. The linked
# libraries come from dpkg-shlibdeps with the versions this build needs, or, without it, from this
# list of Debian 12 names.
set(NIMBREL_DEB_UNLINKED "webp-pixbuf-loader, librsvg2-common, heif-gdk-pixbuf, zlib1g")
set(NIMBREL_DEB_LIBRARIES
    "libc6, libstdc++6, libgcc-s1, libglib2.0-0, libgdk-pixbuf-2.0-0, libcairo2, libpng16-16, "
    "libjpeg62-turbo, libtiff6, libopenjp2-7")
if(NIMBREL_GTK)
  string(APPEND NIMBREL_DEB_LIBRARIES ", libgtk-3-0")
endif()
string(REPLACE ";" "" NIMBREL_DEB_LIBRARIES "${NIMBREL_DEB_LIBRARIES}")
find_program(NIMBREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NIMBREL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${NIMBREL_DEB_UNLINKED}")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${NIMBREL_DEB_LIBRARIES}, ${NIMBREL_DEB_UNLINKED}")
endif()
include(CPack)
