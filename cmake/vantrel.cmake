# Small helpers shared by every target of the project.

function(vantrel_warnings target)
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:${VANTREL_WARNINGS}>)
endfunction()

set(VANTREL_TEST_RESULTS ${CMAKE_BINARY_DIR}/test-results)
set(VANTREL_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})
list(APPEND CMAKE_MODULE_PATH ${VANTREL_CMAKE_DIR})  # Find modules of our own

# vantrel_wine_runner(path prefix): a script that runs a Windows program under Wine in prefix.
function(vantrel_wine_runner path runner_prefix)
    configure_file(${VANTREL_CMAKE_DIR}/wine-run.in ${path}
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE @ONLY)
endfunction()

# Where the system IDL files (oaidl.idl) and stdole2.tlb live for widl.
set(VANTREL_IDL_INCLUDE /usr/include/wine/wine/windows CACHE PATH "Folder of oaidl.idl")
set(VANTREL_WIDL ${VANTREL_WIDL} CACHE STRING "widl command")
set(VANTREL_WIDL_ARCH ${VANTREL_WIDL_ARCH} CACHE STRING "widl target switch")
set(VANTREL_WINE_DLLDIR ${VANTREL_WINE_DLLDIR} CACHE PATH "Folder of stdole2.tlb")
# A cross build runs its Windows tests under Wine, with the Wine-only parts: the virtual
# CM17A, the prefix fixtures and the end-to-end, registration and console tests. A build on
# Windows itself (or -DVANTREL_UNDER_WINE=OFF here) leaves them out.
if(WIN32 AND CMAKE_CROSSCOMPILING)
    option(VANTREL_UNDER_WINE "Run the Windows tests under Wine, with the Wine-only tests" ON)
else()
    set(VANTREL_UNDER_WINE OFF)
endif()
if(VANTREL_UNDER_WINE)
    # Every Windows test runs in one Wine prefix that belongs to this build tree, never in
    # the user's home. wine-run is the emulator CTest puts in front of each test binary.
    set(VANTREL_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    set(VANTREL_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run)
    vantrel_wine_runner(${VANTREL_WINE_RUN} ${VANTREL_WINEPREFIX})
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VANTREL_WINE_RUN})
endif()

# The release version: three numbers, major.minor.build. Windows Installer compares product
# versions by those three alone, so each release must be greater in them than every one before
# (scripts/package checks it against installer/releases.txt). The packages and vantrel --version
# give the three; the version resources add a fourth, 0, as a file version has four. A build of
# a later release from the same sources (the installer's upgrade test) sets
# VANTREL_VERSION_OVERRIDE.
if(VANTREL_VERSION_OVERRIDE)
    set(VANTREL_VERSION ${VANTREL_VERSION_OVERRIDE})
else()
    set(VANTREL_VERSION ${PROJECT_VERSION})
endif()
if(NOT VANTREL_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "the release version needs three numbers, not '${VANTREL_VERSION}'")
endif()
string(REPLACE "." ";" VANTREL_VERSION_PARTS ${VANTREL_VERSION})
list(GET VANTREL_VERSION_PARTS 0 VANTREL_VERSION_MAJOR)
list(GET VANTREL_VERSION_PARTS 1 VANTREL_VERSION_MINOR)
list(APPEND VANTREL_VERSION_PARTS 0)
string(REPLACE ";" ", " VANTREL_VERSION_COMMAS "${VANTREL_VERSION_PARTS}")
# SwitchProbe's record gives the major and minor version only ("1.00" for 1.0).
set(VANTREL_PROBE_MINOR_TEXT ${VANTREL_VERSION_MINOR})
if(VANTREL_VERSION_MINOR LESS 10)
    set(VANTREL_PROBE_MINOR_TEXT "0${VANTREL_VERSION_MINOR}")
endif()
set(VANTREL_SUPPORT_URL "" CACHE STRING "Where users of the MQTT bridge find help, shown by Home Assistant")
set(VANTREL_GENERATED ${CMAKE_BINARY_DIR}/generated)
configure_file(${VANTREL_CMAKE_DIR}/version.h.in ${VANTREL_GENERATED}/version.h @ONLY)
file(WRITE ${CMAKE_BINARY_DIR}/version.txt "${VANTREL_VERSION}\n")

# vantrel_add_test(NAME n SOURCES ... [LIBS ...] [NO_RUN]): one GoogleTest program for one
# area, registered as one CTest test unless NO_RUN (then vantrel_run_test registers its runs).
function(vantrel_add_test)
    cmake_parse_arguments(T "NO_RUN" "NAME" "SOURCES;LIBS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    if(WIN32)
        # Windows tests run with COM initialised for the multithreaded apartment.
        target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} vantrel_test_main GTest::gtest)
    else()
        target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
    endif()
    vantrel_warnings(${T_NAME})
    if(NOT T_NO_RUN)
        vantrel_run_test(NAME ${T_NAME} TARGET ${T_NAME})
    endif()
endfunction()

# vantrel_run_test(NAME n TARGET t [RUNNER r] [WRAP cmd...] [ARGS ...]): one run of a test
# program, optionally inside a wrapper such as the virtual CM17A, and under Wine through RUNNER
# (default: the build tree's wine-run); results go to test-results/n.xml.
function(vantrel_run_test)
    cmake_parse_arguments(R "" "NAME;TARGET;RUNNER" "WRAP;ARGS" ${ARGN})
    set(results ${VANTREL_TEST_RESULTS}/${R_NAME}.xml)
    if(VANTREL_UNDER_WINE)
        # Wine shows the host's root as drive Z:.
        set(results Z:${results})
    endif()
    if(R_WRAP OR R_RUNNER)
        set(program $<TARGET_FILE:${R_TARGET}>)
        if(R_RUNNER)
            set(program ${R_RUNNER} ${program})
        elseif(VANTREL_UNDER_WINE)
            set(program ${VANTREL_WINE_RUN} ${program})
        endif()
        add_test(NAME ${R_NAME} COMMAND ${R_WRAP} ${program} ${R_ARGS} --gtest_output=xml:${results})
    else()
        add_test(NAME ${R_NAME} COMMAND ${R_TARGET} ${R_ARGS} --gtest_output=xml:${results})
    endif()
    # A filter or a suite that matches nothing runs no test and exits 0: that is a failure.
    set_tests_properties(${R_NAME} PROPERTIES
        FAIL_REGULAR_EXPRESSION "Running 0 tests from")
    if(VANTREL_UNDER_WINE)
        set_tests_properties(${R_NAME} PROPERTIES FIXTURES_REQUIRED wine_prefix)
    endif()
endfunction()

# vantrel_default_timeouts([seconds]): every test of this directory that has no TIMEOUT of its
# own gets one, so that a deadlock fails the run instead of hanging it.
function(vantrel_default_timeouts seconds)
    get_property(tests DIRECTORY PROPERTY TESTS)
    foreach(test IN LISTS tests)
        get_test_property(${test} TIMEOUT timeout)
        if(NOT timeout)
            set_tests_properties(${test} PROPERTIES TIMEOUT ${seconds})
        endif()
    endforeach()
endfunction()
