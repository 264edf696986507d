# SPDX-License-Identifier: MIT
# Cross build for 32-bit ARM (hard float) with Debian's cross toolchain
# (crossbuild-essential-armhf) and the armhf libraries installed beside the build machine's:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(TTYWEAVE_TARGET_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TTYWEAVE_TARGET_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
