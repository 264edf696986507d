# SPDX-License-Identifier: MIT
# What every Debian cross build shares; the toolchain files set the target's triplet, processor
# and user-mode emulator first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${TTYWEAVE_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TTYWEAVE_TARGET_TRIPLET}-g++)
# Multiarch: the target's libraries, CMake packages and pkg-config files are below
# lib/<triplet>; the target's pkg-config wrapper looks only there (and at the shared data).
set(CMAKE_LIBRARY_ARCHITECTURE ${TTYWEAVE_TARGET_TRIPLET})
set(PKG_CONFIG_EXECUTABLE ${TTYWEAVE_TARGET_TRIPLET}-pkg-config)
# Programs (code generators) come from the build machine; libraries and headers of the target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# How the build runs target programs (test discovery, the tests): the user-mode emulator. The
# target's C library is the multiarch one (libc6:ARCH, which its -dev packages bring), not the
# cross toolchain's copy below /usr/<triplet> (-L): under qemu-user on recent kernels the child
# of a fork() never gets going with that older build of the library.
set(CMAKE_CROSSCOMPILING_EMULATOR ${TTYWEAVE_TARGET_QEMU})
