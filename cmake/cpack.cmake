# `make package`: three Debian packages from one build (CPack's DEB
# generator; shared library dependencies from dpkg-shlibdeps), made by
# `cpack` in the build directory after the packaged targets are built:
#   libcorvane-auth-jwt-dev   component dev
#   python3-corvane-auth-jwt  component python
#   corvane-tools             component tools
# Configure with -DCMAKE_INSTALL_PREFIX=/usr (the Makefile's package target
# does) so that the unit and the configuration land in /lib/systemd/system
# and /etc/corvane.
set(CORVANE_PACKAGE_MAINTAINER "corvane-auth-jwt maintainers <maintainers@users.noreply.c-seed-fdda5ba6.example>"
    CACHE STRING "The Maintainer field of the Debian packages")
set(CORVANE_PACKAGE_RELEASE 1 CACHE STRING "The Debian revision of the packages")

set(_packages dev libcorvane-auth-jwt-dev tools corvane-tools)
if(CORVANE_BUILD_PYTHON)
  list(APPEND _packages python python3-corvane-auth-jwt)
endif()

# Every package's /usr/share/doc: the copyright file and a Debian changelog
# (gzip -9n, dated by SOURCE_DATE_EPOCH when set).
string(TIMESTAMP _changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(_components)
while(_packages)
  list(POP_FRONT _packages _component _name)
  list(APPEND _components ${_component})
  string(TOUPPER ${_component} _upper)
  set(CPACK_DEBIAN_${_upper}_PACKAGE_NAME ${_name})
  set(CPACK_DEBIAN_${_upper}_FILE_NAME DEB-DEFAULT)
  set(_doc ${CMAKE_BINARY_DIR}/package-doc/${_name})
  file(MAKE_DIRECTORY ${_doc})
  file(WRITE ${_doc}/changelog.Debian
       "${_name} (${PROJECT_VERSION}-${CORVANE_PACKAGE_RELEASE}) unstable; urgency=medium\n\n"
       "  * Built with CPack from the project's CMake build.\n\n"
       " -- ${CORVANE_PACKAGE_MAINTAINER}  ${_changelog_date}\n")
  execute_process(COMMAND gzip -9nf ${_doc}/changelog.Debian)
  install(FILES deploy/debian/copyright ${_doc}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_name} COMPONENT ${_component})
endwhile()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGE_NAME corvane-auth-jwt)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${CORVANE_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# The unit and /etc are absolute destinations: staged under DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CORVANE_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CORVANE_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://corvane.example/auth-jwt")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The libraries are static: what they link comes with the consumer's link.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "libssl-dev (>= 3), libcurl4-openssl-dev | libcurl-dev, libicu-dev, libspdlog-dev, nlohmann-json3-dev (>= 3), libsimdjson-dev (>= 3), libpcre2-dev, libinih-dev, pkg-config")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "cmake (>= 3.25)")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "JWT authentication with OpenID Connect providers (C++ development files)\n"
    "corvane-auth-jwt authenticates web requests with JWTs from several OpenID\n"
    "Connect identity providers and maps them to local users. This package\n"
    "holds the headers, the static libraries and the CMake package:\n"
    "find_package(CorvaneAuthJwt) gives the imported target corvane::auth_jwt.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# The extension is built for this interpreter's minor version.
math(EXPR _next_minor "${Python3_VERSION_MINOR} + 1")
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), python3 (<< ${Python3_VERSION_MAJOR}.${_next_minor}), python3-pyramid (>= 2)")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
    "JWT authentication with OpenID Connect providers for Pyramid\n"
    "corvane-auth-jwt authenticates web requests with JWTs from several OpenID\n"
    "Connect identity providers and maps them to local users. This package\n"
    "holds the Python package corvane.auth.jwt (a JWTAuthenticationPolicy and a\n"
    "security policy for Pyramid) with its compiled core, and the reference\n"
    "companion modules corvane.auth.policies, corvane.logging_conf and\n"
    "corvane.utils.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION web)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/package-control/conffiles ${CMAKE_CURRENT_SOURCE_DIR}/deploy/debian/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/deploy/debian/prerm ${CMAKE_CURRENT_SOURCE_DIR}/deploy/debian/postrm)
file(WRITE ${CMAKE_BINARY_DIR}/package-control/conffiles
     "${CORVANE_CONFIG_DIR}/auth.json\n${CORVANE_CONFIG_DIR}/corvane.ini\n${CORVANE_CONFIG_DIR}/users.json\n")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "JWT authentication with OpenID Connect providers: tools and HTTP host\n"
    "corvane-auth-jwt authenticates web requests with JWTs from several OpenID\n"
    "Connect identity providers and maps them to local users. This package\n"
    "holds corvane-jwt (checks a configuration, authenticates a request as a\n"
    "host would, makes keys and test tokens) and corvane-host (an HTTP host that\n"
    "serves authenticated pages and answers a proxy's authentication\n"
    "subrequests), with the systemd unit corvane-host.service and an example\n"
    "configuration in /etc/corvane.")

include(CPack)
