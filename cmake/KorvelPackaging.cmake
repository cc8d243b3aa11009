# The packages administrators install, made by CPack from the built
# programs: in a Linux build `cpack -G DEB` gives korvel_<version>_<arch>.deb,
# in the Windows build `cpack -G NSIS` gives Korvel-<version>-win32.exe.
#
# The utility keeps Korvel.ini, Korvel.pub and its log beside its executable
# and replaces that executable itself, so its installation directory is
# nobody's package file: the Debian package keeps the program in
# /usr/lib/korvel and its maintainer scripts put it into /var/lib/korvel;
# the Windows installer writes it into the chosen directory and leaves
# everything the utility or the administrator put there.

set(KORVEL_MAINTAINER "Korvel developers <korvel@example.org>")
set(CPACK_PACKAGE_VENDOR "Korvel developers")
set(CPACK_PACKAGE_CONTACT "${KORVEL_MAINTAINER}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unattended update utility of the pharmacy back-office server")
# The lines of the package's long description, wrapped for dpkg.
set(CPACK_PACKAGE_DESCRIPTION "Korvel takes the office's signed update packages from an inbox,
applies them to the pharmacy's Firebird database and server, and reports
to the office in a request packet. The timer korvel.timer runs it hourly.")
set(CPACK_STRIP_FILES TRUE)
# cpack builds what it packs, not the whole tree with its tests: the
# scripts that call it build the programs first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

if(NOT WIN32)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  install(TARGETS Korvel RUNTIME DESTINATION lib/korvel)
  install(TARGETS korvel-tool RUNTIME DESTINATION bin)
  # The system's unit directory (/lib/systemd/system on Debian 12).
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_get_variable(KORVEL_UNIT_DIR systemd systemdsystemunitdir)
  endif()
  if(NOT KORVEL_UNIT_DIR)
    set(KORVEL_UNIT_DIR /lib/systemd/system)
  endif()
  install(FILES tools/linux/korvel.service tools/linux/korvel.timer DESTINATION ${KORVEL_UNIT_DIR})
  # Debian's changelog of a native package, compressed as policy wants it.
  set(korvel_changelog ${PROJECT_BINARY_DIR}/packaging/changelog)
  configure_file(tools/linux/debian/changelog.in ${korvel_changelog} @ONLY)
  execute_process(COMMAND gzip -9nf ${korvel_changelog} RESULT_VARIABLE korvel_gzip)
  if(NOT korvel_gzip EQUAL 0)
    message(FATAL_ERROR "gzip of ${korvel_changelog} failed")
  endif()
  install(FILES README.md tools/linux/Korvel.ini.sample tools/linux/debian/copyright ${korvel_changelog}.gz
    DESTINATION share/doc/korvel)

  set(CPACK_DEBIAN_PACKAGE_NAME korvel)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # What the binaries link, computed; and the Firebird client, which the
  # utility loads by name at run time where no tool can see it.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libfbclient2")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/tools/linux/debian/postinst
    ${PROJECT_SOURCE_DIR}/tools/linux/debian/prerm
    ${PROJECT_SOURCE_DIR}/tools/linux/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
else()
  include(${CMAKE_CURRENT_LIST_DIR}/KorvelInstaller.cmake)
endif()

include(CPack)
