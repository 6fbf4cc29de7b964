# The daemon test runs quorind in a temporary runtime tree with the edge server, the rules store
# and this module.
add_dependencies(reqgate_daemon_test quorind quorinctl edgeserv policydb voraux tallies reqgate)
target_compile_definitions(reqgate_daemon_test PRIVATE QUORIN_BIN_DIR="${CMAKE_BINARY_DIR}"
                           REQGATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

# The purge and check tests load a disk-cache rewrite plug-in from their temporary runtime tree.
add_library(reqgate_purge_fixture SHARED ${CMAKE_CURRENT_SOURCE_DIR}/tests/reqgate_purge_fixture.cpp)
target_link_libraries(reqgate_purge_fixture PRIVATE vorcore)
target_compile_options(reqgate_purge_fixture PRIVATE ${VOR_WARNINGS} -fvisibility=hidden)
foreach(purge_test reqgate_purge_test reqgate_purge_mt_test)
  add_dependencies(${purge_test} reqgate_purge_fixture)
  target_compile_definitions(${purge_test} PRIVATE REQGATE_PURGE_FIXTURE="$<TARGET_FILE:reqgate_purge_fixture>")
endforeach()

# Purges named by an origin's X-RefreshCacheURL, end to end through the laid-out node with the
# disk cache on (tests/reqgate_purge_e2e.py, on the proxy end-to-end suite's node).
add_test(NAME reqgate_purge_e2e COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/tests/reqgate_purge_e2e.py
         --build ${CMAKE_BINARY_DIR} --source ${CMAKE_SOURCE_DIR} --plugin $<TARGET_FILE:e2e_refusing_plugin>)
set_tests_properties(reqgate_purge_e2e PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 LABELS unit)
