# libmosquitto, which installs no CMake package: found by its header and library, so that the
# build needs no pkg-config. Gives Mosquitto::Mosquitto and Mosquitto_VERSION.
find_path(Mosquitto_INCLUDE_DIR mosquitto.h)
find_library(Mosquitto_LIBRARY NAMES mosquitto)
if(Mosquitto_INCLUDE_DIR)
    file(STRINGS ${Mosquitto_INCLUDE_DIR}/mosquitto.h version_lines
         REGEX "^#define LIBMOSQUITTO_(MAJOR|MINOR|REVISION) [0-9]+")
    set(Mosquitto_VERSION)
    foreach(part MAJOR MINOR REVISION)
        string(REGEX MATCH "LIBMOSQUITTO_${part} ([0-9]+)" found "${version_lines}")
        list(APPEND Mosquitto_VERSION ${CMAKE_MATCH_1})
    endforeach()
    list(JOIN Mosquitto_VERSION . Mosquitto_VERSION)
endif()
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Mosquitto
    REQUIRED_VARS Mosquitto_LIBRARY Mosquitto_INCLUDE_DIR VERSION_VAR Mosquitto_VERSION)
if(Mosquitto_FOUND AND NOT TARGET Mosquitto::Mosquitto)
    add_library(Mosquitto::Mosquitto UNKNOWN IMPORTED)
    set_target_properties(Mosquitto::Mosquitto PROPERTIES
        IMPORTED_LOCATION ${Mosquitto_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${Mosquitto_INCLUDE_DIR})
endif()
mark_as_advanced(Mosquitto_INCLUDE_DIR Mosquitto_LIBRARY)
