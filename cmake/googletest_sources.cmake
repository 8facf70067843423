# GoogleTest built with the tests from the sources of Debian's googletest
# package, for builds that cannot use the installed libraries (the Windows
# and 32-bit Linux cross builds).  Gives GTest::gtest and GTest::gtest_main,
# the targets find_package(GTest) gives in a native build.
if(NOT EXISTS ${KORBR_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in "
                      "${KORBR_GOOGLETEST_SOURCE} (Debian package googletest)")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KORBR_GOOGLETEST_SOURCE}
                 ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
