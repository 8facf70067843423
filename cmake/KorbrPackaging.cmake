# Debian packages made with CPack from the install components of
# cmake/KorbrInstall.cmake (scripts/build_packages.sh runs it):
#
#   libkorbr1     runtime       the shared library
#   libkorbr-dev  development   header, development link, pkg-config file,
#                               CMake package, libkorbr(3)
#   korbr         program       korbr, korbr(1), bash completion
#
# Dependencies are never listed by hand: dpkg-shlibdeps reads them from the
# ELF files (whatever the library and korbr come to link), and the packages
# of this project depend on each other by the component graph below, at
# exactly this version.  The package version is project()'s; the newest
# entry of packaging/changelog must carry it.

# Each package carries its own changelog and copyright file.
if(KORBR_DEBIAN_PACKAGES)
  if(CMAKE_VERSION VERSION_LESS 3.20)
    # Older CPack cannot show dpkg-shlibdeps the library korbr links.
    message(FATAL_ERROR "The Debian packages need CMake 3.20 or later")
  endif()
  file(STRINGS packaging/changelog KORBR_CHANGELOG_HEAD LIMIT_COUNT 1)
  if(NOT KORBR_CHANGELOG_HEAD MATCHES "^korbr \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR
      "packaging/changelog: the newest entry must be for version "
      "${PROJECT_VERSION} (the version of project()), not "
      "'${KORBR_CHANGELOG_HEAD}'")
  endif()
  set(KORBR_CHANGELOG_GZ ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(OUTPUT ${KORBR_CHANGELOG_GZ}
    COMMAND ${CMAKE_COMMAND} -E make_directory
            ${CMAKE_CURRENT_BINARY_DIR}/packaging
    COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog
            > ${KORBR_CHANGELOG_GZ}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog)
  add_custom_target(package_changelog ALL DEPENDS ${KORBR_CHANGELOG_GZ})
  foreach(korbr_package libkorbr1:runtime libkorbr-dev:development
                        korbr:program)
    string(REPLACE ":" ";" korbr_package "${korbr_package}")
    list(GET korbr_package 0 korbr_package_name)
    list(GET korbr_package 1 korbr_component)
    install(FILES ${KORBR_CHANGELOG_GZ} packaging/copyright
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${korbr_package_name}
      COMPONENT ${korbr_component})
  endforeach()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korbr)
set(CPACK_PACKAGE_VENDOR "The libkorbr developers")
set(CPACK_PACKAGE_CONTACT
  "libkorbr maintainers <maintainers@users.noreply.c-seed-0dc177de.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development program)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# korbr needs libkorbr.so.1 from the libkorbr1 package being built beside
# it: dpkg-shlibdeps must find it there (the dependency itself comes from
# the component graph).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${CMAKE_CURRENT_BINARY_DIR})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkorbr1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# Any later 1.x library serves what was linked against this one.  (Only
# libkorbr1 holds a shared library, so only it gets a shlibs file.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The dynamic linker's cache is refreshed by dpkg's ldconfig trigger.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/libkorbr1/triggers)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkorbr-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME korbr)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION utils)

include(CPack)

cpack_add_component(runtime
  DISPLAY_NAME "libkorbr shared library"
  DESCRIPTION "archive-device library for database backup and restore hosts
libkorbr is the archive-device library that a database server's backup
and restore utility loads into its process.  The host opens one handle
per stripe (up to 32 independent streams) and writes a backup through it
or reads one back.  The library puts each stripe on disk volume files or
tape drives, framed by ANSI-style volume labels, checks the labels on
restore and moves on to the next volume when one is full.

This package contains the shared library.")
cpack_add_component(development
  DISPLAY_NAME "libkorbr development files"
  DESCRIPTION "archive-device library for database backup hosts - development files
libkorbr is the archive-device library that a database server's backup
and restore utility loads into its process, one handle per stripe, disk
volume files or tape drives as media.

This package contains the C header, the development link, the pkg-config
file, the CMake package (find_package(korbr), target korbr::korbr) and
the libkorbr(3) manual page."
  DEPENDS runtime)
cpack_add_component(program
  DISPLAY_NAME "korbr"
  DESCRIPTION "back up and restore data streams on striped disk or tape volumes
korbr is the command-line host of libkorbr: it backs up a file or a pipe
(such as a database dump) onto up to 32 stripes of disk volume files or
tape drives, and restores it verified frame by frame and against the
stream's SHA-256.  It also shows the labels of a disk volume and manages
virtual tape drives whose cartridges are SIMH tape images."
  DEPENDS runtime)
