# The daemon test runs quorind in a temporary runtime tree with the edge server and this module.
add_dependencies(policydb_daemon_test quorind quorinctl edgeserv policydb voraux tallies)
target_compile_definitions(policydb_daemon_test PRIVATE QUORIN_BIN_DIR="${CMAKE_BINARY_DIR}"
                           POLICYDB_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
