# The static-file module's tests run the daemon in a temporary runtime tree with both admin
# libraries laid out in modules/, and talk to it with curl, nc and a headless chromium.
# The browser test skips itself where no chromium is installed.
foreach(test panelbase_daemon_test panelbase_browser_test)
  add_dependencies(${test} quorind quorinctl daemon_fixture panelhttp panelbase)
  target_include_directories(${test} PRIVATE
                             ${CMAKE_SOURCE_DIR}/admin/server/panelhttp/tests)
  target_compile_definitions(${test} PRIVATE QUORIN_BIN_DIR="${CMAKE_BINARY_DIR}"
                             QUORIN_FIXTURE="$<TARGET_FILE:daemon_fixture>"
                             PANELHTTP_LIB="$<TARGET_FILE:panelhttp>" PANELBASE_LIB="$<TARGET_FILE:panelbase>"
                             QUORIN_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endforeach()
