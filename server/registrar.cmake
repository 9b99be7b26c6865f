# The registry script interpreter. Platform-neutral, so every preset builds it and the native
# one tests it under the sanitizers.
add_library(vantrel_registrar STATIC ${CMAKE_CURRENT_LIST_DIR}/registry_script.cpp
    ${CMAKE_CURRENT_LIST_DIR}/undo_journal.cpp)
target_include_directories(vantrel_registrar PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(vantrel_registrar PUBLIC vantrel_neutral)
vantrel_warnings(vantrel_registrar)
