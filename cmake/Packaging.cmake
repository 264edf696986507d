# The Debian package: cpack -G DEB in a build configured with -DCMAKE_INSTALL_PREFIX=/usr
# (scripts/package) gives ttyweave_<version>_<arch>.deb.
set(CPACK_PACKAGE_NAME ttyweave)
set(CPACK_PACKAGE_VENDOR ttyweave)
set(CPACK_PACKAGE_CONTACT "ttyweave maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "console shared between the serial line and network terminals")
set(CPACK_PACKAGE_DESCRIPTION
  "ttyweave runs one program on the console of an embedded Linux device and shares its \
terminal between the serial console and up to seven network terminals, which connect over a \
Unix-domain socket; ttyweave-attach joins a terminal or an ssh login to the session.")
# The paths the installed files name (the unit's ExecStart, the sshd ForceCommand) are the
# build's install prefix; the package must put the files there.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# Dependencies: the runtime libraries the binaries are linked with, as dpkg-shlibdeps finds
# them (liblttng-ust, libdbus-c++, libfmt, ...), never their -dev packages.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/dist/debian/postinst
  ${CMAKE_SOURCE_DIR}/dist/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
