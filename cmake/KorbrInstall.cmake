# Install rules (POSIX): libkorbr as a system library and korbr as a system
# program.  `cmake --install` honours CMAKE_INSTALL_PREFIX, DESTDIR and the
# GNUInstallDirs variables.  Installed components:
#
#   runtime      libkorbr.so.1 (SONAME), libkorbr.so.MAJOR.MINOR.PATCH
#   development  libkorbr.so, include/korbr/korbr.h, LIBDIR/pkgconfig/korbr.pc,
#                LIBDIR/cmake/korbr/ (find_package(korbr): korbr::korbr),
#                libkorbr(3)
#   program      bin/korbr, korbr(1), the bash completion of korbr
#
# The version is the one of project() in CMakeLists.txt; the SONAME carries
# its major number, raised whenever the nine functions or the records change
# incompatibly.  The Debian packages (cmake/KorbrPackaging.cmake) are made
# of these components.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

option(KORBR_DEBIAN_PACKAGES
  "Lay the install out for the Debian packages (scripts/build_packages.sh): \
gzip-compressed man pages, a changelog and copyright file per package" OFF)

set(KORBR_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/korbr)

# --- The shared library -------------------------------------------------------

set_target_properties(korbr PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})

install(TARGETS korbr EXPORT korbrTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          COMPONENT runtime
          NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/korbr/korbr.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/korbr
  COMPONENT development)

# --- pkg-config ----------------------------------------------------------------

# Absolute directories as the .pc file wants them, written with ${prefix}
# where they lie below it (so PKG_CONFIG_SYSROOT_DIR and --define-variable
# work as users expect).
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(KORBR_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(KORBR_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(cmake/korbr.pc.in ${CMAKE_CURRENT_BINARY_DIR}/korbr.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/korbr.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

# --- CMake package: find_package(korbr) gives korbr::korbr ---------------------

install(EXPORT korbrTargets
  NAMESPACE korbr::
  DESTINATION ${KORBR_CMAKE_PACKAGE_DIR}
  COMPONENT development)
configure_package_config_file(cmake/korbrConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/korbrConfig.cmake
  INSTALL_DESTINATION ${KORBR_CMAKE_PACKAGE_DIR})
# Any 1.x library serves a host written against 1.y with y <= x.
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/korbrConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/korbrConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/korbrConfigVersion.cmake
  DESTINATION ${KORBR_CMAKE_PACKAGE_DIR}
  COMPONENT development)

# --- korbr ---------------------------------------------------------------------

# korbr links libkorbr.so.1.  Where the library goes into a directory the
# toolchain searches anyway (/usr/lib/<triplet> for the Debian packages),
# the dynamic linker finds it there and korbr carries no run path at all.
# Under any other prefix (/usr/local, /opt/korbr, a home directory) korbr
# looks beside itself, $ORIGIN/../lib: the installed tree works without
# ldconfig or LD_LIBRARY_PATH, can be moved as a whole, and never points
# back into the build tree.  CMAKE_INSTALL_RPATH, when given, overrides.
file(RELATIVE_PATH KORBR_BIN_TO_LIB
  ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set(KORBR_SYSTEM_LIBDIRS ${CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES}
    ${CMAKE_C_IMPLICIT_LINK_DIRECTORIES} ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES})
if(NOT DEFINED CMAKE_INSTALL_RPATH AND
   NOT CMAKE_INSTALL_FULL_LIBDIR IN_LIST KORBR_SYSTEM_LIBDIRS)
  set_target_properties(korbr_cli PROPERTIES
    INSTALL_RPATH "\$ORIGIN/${KORBR_BIN_TO_LIB}")
endif()
install(TARGETS korbr_cli
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT program)

install(FILES completion/korbr
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  COMPONENT program)

# --- Man pages -----------------------------------------------------------------

# The pages carry the project's version and the date of the newest entry of
# packaging/changelog, which is written whenever the version changes.
function(korbr_install_man_pages)
  file(STRINGS packaging/changelog signoff LIMIT_COUNT 1 REGEX
    "^ -- .*  [A-Z][a-z][a-z], [0-9]+ [A-Z][a-z][a-z] [0-9][0-9][0-9][0-9] ")
  if(NOT signoff MATCHES ", ([0-9]+) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    message(FATAL_ERROR "packaging/changelog: no dated entry")
  endif()
  set(day "${CMAKE_MATCH_1}")
  set(month "${CMAKE_MATCH_2}")
  set(year "${CMAKE_MATCH_3}")
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(FIND months "${month}" month)
  math(EXPR month "${month} + 1")
  foreach(field day month)
    string(LENGTH "${${field}}" length)
    if(length EQUAL 1)
      set(${field} "0${${field}}")
    endif()
  endforeach()
  set(KORBR_RELEASE_DATE "${year}-${month}-${day}")

  foreach(page korbr.1:program libkorbr.3:development)
    string(REPLACE ":" ";" page "${page}")
    list(GET page 0 name)
    list(GET page 1 component)
    string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section "${name}")
    set(built ${CMAKE_CURRENT_BINARY_DIR}/man/${name})
    configure_file(man/${name} ${built} @ONLY)
    if(KORBR_DEBIAN_PACKAGES)
      # Debian installs man pages compressed, reproducibly (no name or time
      # in the gzip header).
      add_custom_command(OUTPUT ${built}.gz
        COMMAND gzip -9n -c ${built} > ${built}.gz
        DEPENDS ${built})
      add_custom_target(man_page_${name} ALL DEPENDS ${built}.gz)
      set(built ${built}.gz)
    endif()
    install(FILES ${built}
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
      COMPONENT ${component})
  endforeach()
endfunction()
korbr_install_man_pages()
