# adminfix: admin modules only the loader's tests load, linked against the shared panelhttp as
# real admin modules are; the loader's tests run the daemon in a temporary runtime tree.
add_library(adminfix SHARED ${CMAKE_CURRENT_LIST_DIR}/fixtures/adminfix.cpp)
target_link_libraries(adminfix PRIVATE panelhttp)
vor_shared_library(adminfix)
target_compile_options(adminfix PRIVATE ${VOR_WARNINGS})
set_target_properties(adminfix PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fixtures/admin)
add_dependencies(panelhttp_loader_test quorind quorinctl daemon_fixture panelhttp panelbase adminfix)

target_compile_definitions(panelhttp_loader_test PRIVATE QUORIN_BIN_DIR="${CMAKE_BINARY_DIR}"
                           QUORIN_FIXTURE="$<TARGET_FILE:daemon_fixture>"
                           PANELHTTP_LIB="$<TARGET_FILE:panelhttp>" PANELBASE_LIB="$<TARGET_FILE:panelbase>"
                           ADMINFIX_LIB="$<TARGET_FILE:adminfix>" QUORIN_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
