# The daemon test runs quorind in a temporary runtime tree with the edge server, the rules store
# and this module, laid out from the shipped settings.
add_dependencies(memstore_daemon_test quorind quorinctl edgeserv policydb memstore voraux tallies)
target_compile_definitions(memstore_daemon_test PRIVATE QUORIN_BIN_DIR="${CMAKE_BINARY_DIR}"
                           MEMSTORE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

# The long threaded cases start first, so that no core waits on them at the end of a run.
vor_test_costs(Threads.SizeQueriesNeverDivideByZeroWhileATableEmpties 100
               Threads.ReadersNeverAssembleTwoVersionsWhileWritersPurgersAndPollersRun 40
               Model.RandomOperationsMatchTheLastVersionStoredPerUrl 20)
