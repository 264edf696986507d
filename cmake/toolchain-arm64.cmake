# SPDX-License-Identifier: MIT
# Cross build for 64-bit ARM with Debian's cross toolchain (crossbuild-essential-arm64) and the
# arm64 libraries installed side by side with the build machine's (multiarch):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
set(TTYWEAVE_TARGET_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TTYWEAVE_TARGET_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
