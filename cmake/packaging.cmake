# Desktop integration and the Debian package. The two programs are installed by
# src/CMakeLists.txt; this adds the menu entry, the icon, the user unit, the manual page and
# the copyright file, and sets up `cpack -G DEB`.
include(GNUInstallDirs)

set(_packaging ${CMAKE_CURRENT_LIST_DIR}/../packaging)
install(FILES ${_packaging}/vigilo.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_packaging}/vigilo.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# Running unattended: a user unit for `vigilo --headless`, the manual page, and the copyright
# file Debian expects beside every package.
install(FILES ${_packaging}/vigilo.service DESTINATION lib/systemd/user)
find_program(GZIP_PROGRAM gzip)
if(GZIP_PROGRAM)
  set(_man ${CMAKE_CURRENT_BINARY_DIR}/vigilo.1.gz)
  add_custom_command(OUTPUT ${_man}
    COMMAND ${GZIP_PROGRAM} -9 -n -c ${_packaging}/vigilo.1 > ${_man}
    DEPENDS ${_packaging}/vigilo.1 VERBATIM)
  add_custom_target(vigilo_man ALL DEPENDS ${_man})
  install(FILES ${_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${_packaging}/vigilo.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${_packaging}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vigilo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# A placeholder: problems are reported in the repository's issue tracker (README.md).
set(CPACK_PACKAGE_CONTACT "Vigilo developers <vigilo@example.org>")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_LIST_DIR}/../LICENSE)
set(CPACK_RPM_PACKAGE_LICENSE "MIT")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Watches Douyin creators: downloads new videos, records live rooms")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Vigilo polls the Douyin web API for the accounts and live rooms whose share links you paste, "
    "downloads each new post's video and records live shows with ffmpeg while you can watch them. "
    "It has a Qt window and a headless mode for servers (vigilo --headless). vigilo-sim is a "
    "simulated service to try it without network access.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The linked shared libraries (Qt 6, OpenSSL, the C++ runtime) are found by dpkg-shlibdeps, so
# the names follow the Debian release the package is built on. libcurl is opened at run time,
# out of dpkg-shlibdeps' sight, so it is listed here with the programs the package runs and the
# font it needs to show Chinese text.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4, ffmpeg, fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
include(CPack)
