# The daemon test runs quorind in a temporary runtime tree with the edge server, the rules store
# and this module, laid out from the shipped settings.
add_dependencies(memstore_daemon_test quorind quorinctl edgeserv policydb memstore voraux tallies)
target_compile_definitions(memstore_daemon_test PRIVATE QUORIN_BIN_DIR="${CMAKE_BINARY_DIR}"
                           MEMSTORE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
