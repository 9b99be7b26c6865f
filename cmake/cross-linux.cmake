# What the Linux cross toolchains share: Debian's VANTREL_CROSS_TRIPLET-gcc, and the target's
# libraries as dpkg multiarch installs them (/usr/lib/TRIPLET, headers in /usr/include).
# VANTREL_DEB_ARCH names the .deb's architecture; CPack computes its dependencies for it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VANTREL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VANTREL_CROSS_TRIPLET}-g++)
# The multiarch folder is searched first, and the build machine's (/usr/lib/x86_64-linux-gnu)
# never: a library of the wrong architecture is not found rather than found and refused by
# the linker.
set(CMAKE_LIBRARY_ARCHITECTURE ${VANTREL_CROSS_TRIPLET})
# libyaml-cpp-dev cannot be installed for two architectures at once (it is not Multi-Arch:
# same); without the target's own, the package is made of the host's headers and the target's
# library (cross-yaml-cpp/).
if(NOT EXISTS /usr/lib/${VANTREL_CROSS_TRIPLET}/cmake/yaml-cpp/yaml-cpp-config.cmake)
    set(yaml-cpp_DIR ${CMAKE_CURRENT_LIST_DIR}/cross-yaml-cpp)
endif()
# Packages found through pkg-config (libcurl) give the target's .pc files, not the build
# machine's, whose include folder holds the build machine's curl/curlbuild headers.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VANTREL_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
