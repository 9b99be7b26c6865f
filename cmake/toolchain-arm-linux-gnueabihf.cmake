# 32-bit ARM Linux with hardware floating point (Raspberry Pi OS 32-bit, every Pi from the
# Pi 2 on): Debian's cross compiler (crossbuild-essential-armhf) and the :armhf libraries
# through dpkg multiarch.
set(VANTREL_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VANTREL_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
