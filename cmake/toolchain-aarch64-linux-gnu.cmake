# 64-bit ARM Linux (Raspberry Pi OS 64-bit, any arm64 Debian 12): Debian's cross
# compiler (crossbuild-essential-arm64) and the :arm64 libraries through dpkg multiarch.
set(VANTREL_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VANTREL_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
