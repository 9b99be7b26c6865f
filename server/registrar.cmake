# The registry script interpreter, and the in-memory store it is tested with. Platform-neutral,
# so every preset builds them and the native one tests them under the sanitizers.
add_library(vantrel_registrar STATIC ${CMAKE_CURRENT_LIST_DIR}/registry_script.cpp)
target_include_directories(vantrel_registrar PUBLIC ${CMAKE_CURRENT_LIST_DIR})
vantrel_warnings(vantrel_registrar)

add_library(vantrel_memory_key_store STATIC ${CMAKE_CURRENT_LIST_DIR}/memory_key_store.cpp)
target_link_libraries(vantrel_memory_key_store PUBLIC vantrel_registrar)
vantrel_warnings(vantrel_memory_key_store)
