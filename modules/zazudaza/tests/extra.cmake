# The daemon tests of the edge server run quorind in a temporary runtime tree with the edge
# server, fixture sub-modules (linking the shared edge server as real sub-modules do) and
# stand-ins for the crash hook.
set(EDGE_FIXTURE_DIR ${CMAKE_BINARY_DIR}/fixtures/edgeserv)
add_library(edgeserv_submodule_fixture SHARED ${CMAKE_CURRENT_SOURCE_DIR}/tests/fixtures/submodule_fixture.cpp)
target_link_libraries(edgeserv_submodule_fixture PRIVATE edgeserv)
vor_shared_library(edgeserv_submodule_fixture)
target_compile_options(edgeserv_submodule_fixture PRIVATE ${VOR_WARNINGS})
set_target_properties(edgeserv_submodule_fixture PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${EDGE_FIXTURE_DIR})

set(EDGE_HOOKS "")
foreach(variant ok fail nosym)
  set(hook faultpost_fixture_${variant})
  add_library(${hook} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/tests/fixtures/faultpost_fixture.cpp)
  vor_shared_library(${hook})
  target_compile_options(${hook} PRIVATE ${VOR_WARNINGS})
  set_target_properties(${hook} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${EDGE_FIXTURE_DIR})
  list(APPEND EDGE_HOOKS ${hook})
endforeach()
target_compile_definitions(faultpost_fixture_ok PRIVATE FAULTPOST_ENTRY FAULTPOST_ANSWER=1)
target_compile_definitions(faultpost_fixture_fail PRIVATE FAULTPOST_ENTRY FAULTPOST_ANSWER=0)

add_dependencies(edgeserv_daemon_test edgeserv voraux edgeserv_submodule_fixture ${EDGE_HOOKS} quorind quorinctl)
target_compile_definitions(edgeserv_daemon_test PRIVATE
  QUORIN_BIN_DIR="${CMAKE_BINARY_DIR}"
  EDGESERV_LIB="$<TARGET_FILE:edgeserv>"
  EDGE_SUBMODULE_FIXTURE="$<TARGET_FILE:edgeserv_submodule_fixture>"
  EDGE_HOOK_DIR="${EDGE_FIXTURE_DIR}")
