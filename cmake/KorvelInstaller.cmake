# The Windows installer (cpack -G NSIS, with Debian's nsis for the cross
# build): Korvel-<version>-win32.exe from cmake/nsis/NSIS.template.in, which
# holds the pages, the silent options and what is kept. The programs are
# linked statically (cmake/mingw-w64*.cmake), so they need no DLLs of
# their own; the Firebird client comes from the distribution at run time.
install(TARGETS Korvel korvel-tool RUNTIME DESTINATION .)
set(CPACK_GENERATOR NSIS)
set(CPACK_PACKAGE_NAME Korvel)
set(CPACK_PACKAGE_INSTALL_DIRECTORY Korvel)
# The shipped Windows build is the 32-bit one; the name says so whichever
# build made it.
set(CPACK_PACKAGE_FILE_NAME "Korvel-${PROJECT_VERSION}-win32")
# The installer is a program of the build's own kind: 32-bit for the
# 32-bit build (which runs on 32-bit Windows too), 64-bit for a 64-bit one.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CPACK_KORVEL_NSIS_TARGET amd64-unicode)
else()
  set(CPACK_KORVEL_NSIS_TARGET x86-unicode)
endif()
list(PREPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR}/nsis)
