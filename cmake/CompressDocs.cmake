# SPDX-License-Identifier: MIT
# Run by CPack on its staging tree before it packs (CPACK_PRE_BUILD_SCRIPTS): Debian ships manual
# pages and changelogs compressed with gzip -9, without a time stamp (-n) so that the packages
# are reproducible.
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(FILTER files INCLUDE REGEX "/share/(man/man[1-8]/[^/]+\\.[1-8]|doc/[^/]+/changelog\\.Debian)$")
foreach(file IN LISTS files)
  execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
