# GoogleTest for a cross build (Windows with MinGW-w64): Debian's googletest
# package ships the sources, which are built here with the project's own
# compiler. The targets get the names find_package(GTest) gives natively.
if(NOT KORVEL_GTEST_SOURCE_DIR)
  set(KORVEL_GTEST_SOURCE_DIR /usr/src/googletest)
endif()
if(NOT EXISTS ${KORVEL_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${KORVEL_GTEST_SOURCE_DIR} (Debian package googletest)")
endif()

set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KORVEL_GTEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Recent GoogleTest releases define the namespaced names themselves.
foreach(name gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${name})
    add_library(GTest::${name} ALIAS ${name})
  endif()
endforeach()
