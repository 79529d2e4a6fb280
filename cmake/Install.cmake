# `make install` (cmake --install): the two shared libraries with their
# sonames, the SKF header, the pkg-config file brioskf-enterprise.pc and the
# test program.  The virtual token is a development tool and is not
# installed.
include(GNUInstallDirs)

if(NOT TARGET brioskf-enterprise)
  return()
endif()

set(BRIO_INSTALL_INCLUDE_SUBDIR brioskf-enterprise)

# `make install` builds this target only: what is installed and what that
# needs, none of the tests, benchmarks or the virtual token.
add_custom_target(installable)

# The middleware finds the dialog library beside itself, wherever the two
# are installed.
set_target_properties(brioskf-enterprise PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS brioskf-enterprise LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
add_dependencies(installable brioskf-enterprise)
if(TARGET brioui-enterprise)
  install(TARGETS brioui-enterprise LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  add_dependencies(installable brioui-enterprise)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/skf/skf.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${BRIO_INSTALL_INCLUDE_SUBDIR})

# The pkg-config file names its prefix relative to its own folder, so it
# stays right for a prefix given only at install time (--prefix, DESTDIR).
file(RELATIVE_PATH BRIO_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" BRIO_PC_TO_PREFIX "${BRIO_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/skf/brioskf-enterprise.pc.in
  ${CMAKE_BINARY_DIR}/brioskf-enterprise.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/brioskf-enterprise.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET skftest)
  set_target_properties(skftest PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS skftest RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  add_dependencies(installable skftest)
endif()

# The target above holds nothing that is not installed (checked on a fresh
# configure of the tree; nothing is built).
add_test(NAME install_builds_only_what_it_installs
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DSCRATCH_DIR=${CMAKE_BINARY_DIR}/install-check
          -P ${CMAKE_SOURCE_DIR}/cmake/CheckInstallable.cmake)
