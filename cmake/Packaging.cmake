# What `cmake --install` puts where, and the Debian package CPack builds from it.
#
#   bin/                                   albrivo, albrivo-cli, tavo-site
#   share/man/man1/                        albrivo.1.gz, albrivo-cli.1.gz, tavo-site.1.gz
#   share/applications/albrivo.desktop     the menu entry of the window program
#   share/bash-completion/completions/     albrivo-cli, its bash completion (loaded on demand)
#   share/icons/hicolor/scalable/apps/     albrivo.svg
#   share/icons/hicolor/48x48/apps/        albrivo.png, rendered from the SVG at build time
#
# Tests, benchmarks and fuzz targets have no install rules, so they stay out of both.
# The package's prefix is /usr (CPack's default for .deb); the version is the project's.
include(GNUInstallDirs)
# Installing and packaging do not build the whole tree first (its tests and benchmarks
# have nothing to install): `make install` and `make package` build the installed targets.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

find_program(GZIP_EXECUTABLE gzip REQUIRED)
find_program(RSVG_CONVERT_EXECUTABLE rsvg-convert REQUIRED)

set(ALBRIVO_MAN_PAGES albrivo albrivo-cli tavo-site)
set(install_outputs)
foreach(page ${ALBRIVO_MAN_PAGES})
  # -n: no name or time stamp inside, so the same page gives the same bytes.
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${GZIP_EXECUTABLE} -9nc ${PROJECT_SOURCE_DIR}/man/${page}.1 > ${PROJECT_BINARY_DIR}/man/${page}.1.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}.1
    COMMENT "Compressing the man page ${page}.1" VERBATIM)
  list(APPEND install_outputs ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
endforeach()
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/icons/albrivo.png
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/icons
  COMMAND ${RSVG_CONVERT_EXECUTABLE} -w 48 -h 48 -o ${PROJECT_BINARY_DIR}/icons/albrivo.png
          ${PROJECT_SOURCE_DIR}/packaging/albrivo.svg
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/albrivo.svg
  COMMENT "Rendering the 48x48 icon" VERBATIM)
list(APPEND install_outputs ${PROJECT_BINARY_DIR}/icons/albrivo.png)
# albrivo_install_files: the compressed man pages and the rendered icon.
add_custom_target(albrivo_install_files ALL DEPENDS ${install_outputs})

set(programs albrivo-cli tavo-site)
if(TARGET albrivo)
  list(PREPEND programs albrivo)
endif()
install(TARGETS ${programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(page ${ALBRIVO_MAN_PAGES})
  install(FILES ${PROJECT_BINARY_DIR}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/albrivo.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# bash-completion finds a completion by the command's name.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/albrivo-cli.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME albrivo-cli)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/albrivo.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_BINARY_DIR}/icons/albrivo.png
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps)

# ---- the Debian package (`make package`, or cpack -G DEB in the build folder) ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME albrivo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Albrivo project")
set(CPACK_PACKAGE_CONTACT "Albrivo maintainers <maintainers@albrivo.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "download every photo of an online photo album")
# The long description, in lines of the width Debian's control files keep.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Albrivo downloads every photo of an online photo album into a folder"
  "(0.jpg, 1.jpg, ...), shows the first thirty as thumbnails with a preview"
  "window, optionally saves the album's background music, and rotates"
  "promotional links in its status bar."
  "."
  "albrivo is the window, albrivo-cli the same album run on the command"
  "line, and tavo-site a demo album site to try both against on this machine.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries the programs link, as dpkg-shlibdeps finds them (libfltk1.3, libjpeg,
# libX11, the C and C++ run-time).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's Chinese texts need a font with those glyphs; folders and web addresses
# open with the desktop's handler.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
