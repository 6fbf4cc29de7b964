# The daemon test runs quorind in a temporary runtime tree with the edge server, the rules store
# and this module.
add_dependencies(upfetch_daemon_test quorind quorinctl edgeserv policydb voraux tallies nameres replier reqgate memstore upfetch)
target_compile_definitions(upfetch_daemon_test PRIVATE QUORIN_BIN_DIR="${CMAKE_BINARY_DIR}"
                           UPFETCH_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
