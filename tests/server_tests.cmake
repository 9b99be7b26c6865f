# Tests of the in-process server: they need the built library, registered in the build tree's
# prefix (fixture registered_library) or in a copy of that prefix (fixture scratch_prefix).
set(dll ${CMAKE_BINARY_DIR}/bin/VantrelCtrl.dll)
set(wine_dll Z:${dll})

add_test(NAME register_library COMMAND ${VANTREL_WINE_RUN} regsvr32 /s ${wine_dll})
set_tests_properties(register_library PROPERTIES
    FIXTURES_SETUP registered_library FIXTURES_REQUIRED wine_prefix)

vantrel_add_test(NAME server_test SOURCES server_test.cpp LIBS vantrel_component)
add_dependencies(server_test VantrelCtrl)
set_tests_properties(server_test PROPERTIES FIXTURES_REQUIRED "wine_prefix;registered_library")

# Registration changes the registry, so it runs in a throwaway copy of the prefix.
set(scratch ${CMAKE_BINARY_DIR}/scratch-prefix)
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.in ${CMAKE_BINARY_DIR}/wine-run-scratch
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE @ONLY)
file(READ ${CMAKE_BINARY_DIR}/wine-run-scratch runner)
string(REPLACE "${VANTREL_WINEPREFIX}" "${scratch}" runner "${runner}")
file(WRITE ${CMAKE_BINARY_DIR}/wine-run-scratch "${runner}")
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
set_tests_properties(late_bound_test PROPERTIES
    FIXTURES_REQUIRED "wine_prefix;registered_library")
