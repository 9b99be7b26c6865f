# Tests of the in-process server: they need the built library, registered in the build tree's
# prefix (fixture registered_library) or in a copy of that prefix (fixture scratch_prefix).
set(dll ${CMAKE_BINARY_DIR}/bin/VantrelCtrl.dll)
set(wine_dll Z:${dll})

add_test(NAME register_library COMMAND ${VANTREL_WINE_RUN} regsvr32 /s ${wine_dll})
set_tests_properties(register_library PROPERTIES
    FIXTURES_SETUP registered_library FIXTURES_REQUIRED wine_prefix)

vantrel_add_test(NAME server_test SOURCES server_test.cpp LIBS vantrel_component version)
add_dependencies(server_test VantrelCtrl)
set_tests_properties(server_test PROPERTIES FIXTURES_REQUIRED "wine_prefix;registered_library")

# Registration changes the registry, so it runs in a throwaway copy of the prefix.
set(scratch ${CMAKE_BINARY_DIR}/scratch-prefix)
vantrel_wine_runner(${CMAKE_BINARY_DIR}/wine-run-scratch ${scratch})
add_test(NAME scratch_prefix
         COMMAND sh -c "rm -rf '${scratch}' && cp -a '${VANTREL_WINEPREFIX}' '${scratch}'")
set_tests_properties(scratch_prefix PROPERTIES
    FIXTURES_SETUP scratch_prefix FIXTURES_REQUIRED wine_prefix)
vantrel_add_test(NAME registration_test NO_RUN SOURCES registration_test.cpp LIBS vantrel_component)
add_dependencies(registration_test VantrelCtrl)
target_compile_definitions(registration_test PRIVATE
    VANTREL_TLB_PATH="Z:${CMAKE_BINARY_DIR}/server/generated/VantrelCtrl.tlb")
vantrel_run_test(NAME registration_test TARGET registration_test
    RUNNER ${CMAKE_BINARY_DIR}/wine-run-scratch)
set_tests_properties(registration_test PROPERTIES FIXTURES_REQUIRED "wine_prefix;scratch_prefix")

# A late-bound client that no one here wrote: the platform's VBScript host.
add_test(NAME late_bound_test
         COMMAND ${VANTREL_WINE_RUN} cscript //nologo Z:${CMAKE_CURRENT_SOURCE_DIR}/late_bound_test.vbs)
# Judged by the script's verdict with every check counted: cscript under Wine exits 0 after a
# runtime error.
set_tests_properties(late_bound_test PROPERTIES
    FIXTURES_REQUIRED "wine_prefix;registered_library"
    PASS_REGULAR_EXPRESSION "late_bound: 22 passed, 0 failed")

# The console, driven for real under Xvfb: with the library registered and COM5 on the virtual
# CM17A, and once more in a prefix where the library is not registered.
set(VANTREL_ARTIFACTS ${CMAKE_BINARY_DIR}/artifacts)
file(MAKE_DIRECTORY ${VANTREL_ARTIFACTS})
vantrel_add_test(NAME probe_ui_test NO_RUN SOURCES probe_ui_test.cpp trace_support.cpp
    LIBS cm17a_decoder)
target_include_directories(probe_ui_test PRIVATE ${CMAKE_SOURCE_DIR}/SwitchProbe)
target_compile_definitions(probe_ui_test PRIVATE VANTREL_ARTIFACTS="Z:${VANTREL_ARTIFACTS}")
target_link_libraries(probe_ui_test PRIVATE gdi32 user32)
add_dependencies(probe_ui_test SwitchProbe VantrelCtrl cm17a_tools)
set(xvfb xvfb-run -a -s "-screen 0 640x480x24")
vantrel_run_test(NAME probe_ui_test TARGET probe_ui_test
    WRAP ${xvfb} ${VANTREL_CM17A_DIR}/cm17a run --prefix ${VANTREL_WINEPREFIX} --port com5 --quiet --
    ARGS --gtest_filter=Console.*)
set_tests_properties(probe_ui_test PROPERTIES
    FIXTURES_REQUIRED "wine_prefix;registered_library" RESOURCE_LOCK com5)

set(bare ${CMAKE_BINARY_DIR}/unregistered-prefix)
vantrel_wine_runner(${CMAKE_BINARY_DIR}/wine-run-unregistered ${bare})
add_test(NAME unregistered_prefix
         COMMAND sh -c "rm -rf '${bare}' && cp -a '${VANTREL_WINEPREFIX}' '${bare}' && '${CMAKE_BINARY_DIR}/wine-run-unregistered' regsvr32 /u /s '${wine_dll}'")
set_tests_properties(unregistered_prefix PROPERTIES
    FIXTURES_SETUP unregistered_prefix FIXTURES_REQUIRED wine_prefix)
vantrel_run_test(NAME probe_unregistered_test TARGET probe_ui_test
    RUNNER ${CMAKE_BINARY_DIR}/wine-run-unregistered WRAP ${xvfb}
    ARGS --gtest_filter=Unregistered.*)
set_tests_properties(probe_unregistered_test PROPERTIES
    FIXTURES_REQUIRED "wine_prefix;unregistered_prefix")

# vantrel.exe through the registered component, decoded by the virtual CM17A.
add_test(NAME vantrel_exe_test
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/vantrel_exe_test.sh ${VANTREL_CM17A_DIR}/cm17a
                 ${VANTREL_WINEPREFIX} ${VANTREL_WINE_RUN} $<TARGET_FILE:vantrel>)
set_tests_properties(vantrel_exe_test PROPERTIES
    FIXTURES_REQUIRED "wine_prefix;registered_library" RESOURCE_LOCK com5
    PASS_REGULAR_EXPRESSION "vantrel.exe: 10 passed, 0 failed")
