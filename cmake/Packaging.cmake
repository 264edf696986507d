# SPDX-License-Identifier: MIT
# The Debian packages, one per install component: cpack -G DEB in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr (scripts/package) gives ttyweave_<version>_<arch>.deb from the
# component ttyweave (every install() that names no component) and
# ttyweave-registry_<version>_<arch>.deb from the component registry.
set(CPACK_PACKAGE_NAME ttyweave)
set(CPACK_PACKAGE_VENDOR "The ttyweave developers")
set(CPACK_PACKAGE_CONTACT "ttyweave developers <ttyweave@lists.example.org>")
# The paths the installed files name (the units' ExecStart, the sshd ForceCommand) are the
# build's install prefix; the packages must put the files there.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/CompressDocs.cmake)

get_cmake_property(components COMPONENTS)
list(FILTER components INCLUDE REGEX "^(ttyweave|registry)$")
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_DEB_COMPONENT_INSTALL ON)

# The version is the project's, the Debian revision that of the changelog's latest entry.
file(STRINGS dist/debian/changelog latest LIMIT_COUNT 1)
if(NOT latest MATCHES "^ttyweave \\(([^)]+)-([^)]+)\\)")
  message(FATAL_ERROR "dist/debian/changelog: no version in its first line: ${latest}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(WARNING "dist/debian/changelog: the latest entry is ${CMAKE_MATCH_1}, the project "
    "${PROJECT_VERSION}: add an entry for it")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_2})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE ttyweave)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies: the runtime libraries the binaries are linked with, as dpkg-shlibdeps finds
# them (liblttng-ust, libdbus-c++, libfmt, ...), never their -dev packages.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_TTYWEAVE_PACKAGE_NAME ttyweave)
# A device with a Registry of its own installs this package alone.
set(CPACK_DEBIAN_TTYWEAVE_PACKAGE_SUGGESTS "ttyweave-registry, openssh-server")
set(CPACK_DEBIAN_TTYWEAVE_DESCRIPTION
  "console shared between the serial line and network terminals
ttyweave runs one program on the console of an embedded Linux device and
shares its terminal between the serial console and up to seven network
terminals, which connect over a Unix-domain socket. ttyweave-attach joins a
terminal or an ssh login to the session. Its settings come from the Registry
settings service on the D-Bus system bus (package ttyweave-registry, or the
device's own).")
set(CPACK_DEBIAN_TTYWEAVE_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/dist/debian/ttyweave/postinst
  ${CMAKE_SOURCE_DIR}/dist/debian/ttyweave/prerm
  ${CMAKE_SOURCE_DIR}/dist/debian/ttyweave/postrm
  ${CMAKE_SOURCE_DIR}/dist/debian/ttyweave/conffiles)

set(CPACK_DEBIAN_REGISTRY_PACKAGE_NAME ttyweave-registry)
set(CPACK_DEBIAN_REGISTRY_PACKAGE_DEPENDS "default-dbus-system-bus | dbus-system-bus")
set(CPACK_DEBIAN_REGISTRY_DESCRIPTION
  "Registry settings service for ttyweave
ttyweave-registry-service keeps the settings of ttyweave (and of anything
else that asks for them) in a file and serves them on the D-Bus system bus as
com.zarnix.Registry; the bus starts it on the first call. The command
ttyweave-registry reads and changes them. The shipped defaults share the
console with network terminals as soon as ttyweave is installed too.")
set(CPACK_DEBIAN_REGISTRY_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/dist/debian/ttyweave-registry/postinst
  ${CMAKE_SOURCE_DIR}/dist/debian/ttyweave-registry/prerm
  ${CMAKE_SOURCE_DIR}/dist/debian/ttyweave-registry/postrm)

# Every package carries the licence (machine-readable, its text from LICENSE) and the changelog.
file(READ ${CMAKE_SOURCE_DIR}/LICENSE licence)
string(REGEX REPLACE "^.*Copyright [^\n]*\n\n" "" licence "${licence}")
string(STRIP "${licence}" licence)
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " LICENSE_BODY " ${licence}")
configure_file(dist/debian/copyright.in debian/copyright @ONLY)
foreach(component IN LISTS components)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${CMAKE_BINARY_DIR}/debian/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  install(FILES dist/debian/changelog RENAME changelog.Debian
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()
if(registry IN_LIST components)
  install(FILES dist/debian/ttyweave-registry/lintian-overrides RENAME ttyweave-registry
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT registry)
endif()

include(CPack)
