# What `cmake --install` and the Debian packages hold, by component:
#   dev    headers, the static libraries and the CMake package CorvaneAuthJwt
#          (find_package(CorvaneAuthJwt) gives corvane::auth_jwt and what it
#          links; corvane::jose_sign is there for tools and tests that sign,
#          outside auth_jwt's links);
#   python the package corvane for Debian's interpreter;
#   tools  corvane-jwt, corvane-host, their manual pages, the systemd unit
#          and the example configuration under the system's etc.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CORVANE_INSTALLED_LIBRARIES corvane_util corvane_jose corvane_jose_sign corvane_host_seam corvane_users
    corvane_auth_jwt corvane_host)
foreach(library IN LISTS CORVANE_INSTALLED_LIBRARIES)
  string(REGEX REPLACE "^corvane_" "" _export_name ${library})
  set_target_properties(${library} PROPERTIES EXPORT_NAME ${_export_name})
endforeach()
install(TARGETS ${CORVANE_INSTALLED_LIBRARIES} EXPORT CorvaneAuthJwtTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY src/corvane DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
        FILES_MATCHING PATTERN "*.hpp")

set(CORVANE_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/CorvaneAuthJwt)
install(EXPORT CorvaneAuthJwtTargets NAMESPACE corvane:: DESTINATION ${CORVANE_CMAKE_PACKAGE_DIR} COMPONENT dev)
configure_package_config_file(cmake/CorvaneAuthJwtConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/cmake/CorvaneAuthJwtConfig.cmake
                              INSTALL_DESTINATION ${CORVANE_CMAKE_PACKAGE_DIR})
# 0.x: a minor release may change the interface, so only the same minor
# version is compatible.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/CorvaneAuthJwtConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/CorvaneAuthJwtConfig.cmake
              ${CMAKE_BINARY_DIR}/cmake/CorvaneAuthJwtConfigVersion.cmake
        DESTINATION ${CORVANE_CMAKE_PACKAGE_DIR} COMPONENT dev)

install(TARGETS corvane-jwt corvane-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

# Manual pages from the programs' --help, when help2man is there (the
# packaging group of scripts/install-deps installs it).
find_program(CORVANE_HELP2MAN help2man)
find_program(CORVANE_GZIP gzip)
if(CORVANE_HELP2MAN AND CORVANE_GZIP)
  set(_pages)
  foreach(program corvane-jwt corvane-host)
    set(_page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
    add_custom_command(OUTPUT ${_page}
      COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${CORVANE_HELP2MAN} -DGZIP=${CORVANE_GZIP}
              -DPROGRAM=$<TARGET_FILE:${program}> -DNAME=${program} -DVERSION=${PROJECT_VERSION}
              -DSOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR} -DOUTPUT=${_page}
              -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/manual_page.cmake
      DEPENDS ${program} cmake/manual_page.cmake deploy/debian/${program}.h2m)
    list(APPEND _pages ${_page})
  endforeach()
  add_custom_target(corvane_manual_pages ALL DEPENDS ${_pages})
  install(FILES ${_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()

# The unit and the example configuration. With the prefix /usr (the Debian
# packages) they go to /lib/systemd/system and /etc/corvane; under another
# prefix they stay inside it.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(_unit_dir_default /lib/systemd/system)
else()
  set(_unit_dir_default lib/systemd/system)
endif()
set(CORVANE_SYSTEMD_UNIT_DIR ${_unit_dir_default} CACHE PATH "Where the systemd unit corvane-host.service is installed")
set(CORVANE_CONFIG_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/corvane)
configure_file(deploy/systemd/corvane-host.service.in ${CMAKE_BINARY_DIR}/deploy/corvane-host.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/deploy/corvane-host.service DESTINATION ${CORVANE_SYSTEMD_UNIT_DIR} COMPONENT tools)
install(FILES deploy/systemd/auth.json deploy/systemd/users.json
        DESTINATION ${CORVANE_CONFIG_DIR} COMPONENT tools)
# The ini will hold the session secret: the package's postinst makes it
# root:corvane 0640 with dpkg-statoverride (the example holds no secret).
install(FILES deploy/systemd/corvane.ini DESTINATION ${CORVANE_CONFIG_DIR} COMPONENT tools)

# What `make package` builds before cpack (which builds nothing itself).
set(_packaged ${CORVANE_INSTALLED_LIBRARIES} corvane-jwt corvane-host)
foreach(target corvane_manual_pages corvane_python_jwt corvane_python_files)
  if(TARGET ${target})
    list(APPEND _packaged ${target})
  endif()
endforeach()
add_custom_target(corvane_packaged DEPENDS ${_packaged})
