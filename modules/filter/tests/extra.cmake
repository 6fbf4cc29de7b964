# The daemon test runs quorind in a temporary runtime tree with the edge server, the rules store
# and this module.
add_dependencies(reqgate_daemon_test quorind quorinctl edgeserv policydb voraux tallies reqgate)
target_compile_definitions(reqgate_daemon_test PRIVATE QUORIN_BIN_DIR="${CMAKE_BINARY_DIR}"
                           REQGATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
