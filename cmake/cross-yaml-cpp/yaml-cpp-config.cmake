# yaml-cpp for a cross build where only the library is installed for the target
# (libyaml-cpp0.7:ARCH): the headers are the host's libyaml-cpp-dev's, which dpkg holds to
# the same version as the target's library (both are of one source, and the library is
# Multi-Arch: same). Gives the target yaml-cpp, as yaml-cpp's own config does.
# Debian's headers only, never a yaml-cpp installed by hand in /usr/local: they would not match
# the target's library.
find_path(YAML_CPP_INCLUDE_DIR yaml-cpp/yaml.h PATHS /usr/include NO_DEFAULT_PATH)
find_library(YAML_CPP_LIBRARY NAMES libyaml-cpp.so.0.7)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(yaml-cpp
    REQUIRED_VARS YAML_CPP_LIBRARY YAML_CPP_INCLUDE_DIR
    REASON_FAILURE_MESSAGE "install libyaml-cpp-dev and libyaml-cpp0.7 for the target (scripts/setup)")
if(yaml-cpp_FOUND AND NOT TARGET yaml-cpp)
    add_library(yaml-cpp SHARED IMPORTED)
    set_target_properties(yaml-cpp PROPERTIES
        IMPORTED_LOCATION ${YAML_CPP_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${YAML_CPP_INCLUDE_DIR})
endif()
set(YAML_CPP_LIBRARIES yaml-cpp)
