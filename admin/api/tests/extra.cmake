# The admin API's tests run the admin server in the test process with the API routed by the
# server's own (hidden) router, so they link panelhttp's and adminweb's objects instead of the
# shared panelhttp: one copy of the server per process. The rules store runs on a database the
# sqlite3 CLI builds from the shipped schema.
file(GLOB adminweb_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_test.cpp)
foreach(src IN LISTS adminweb_tests)
  get_filename_component(test ${src} NAME_WE)
  target_sources(${test} PRIVATE $<TARGET_OBJECTS:panelhttp_objs> $<TARGET_OBJECTS:adminweb_objs>)
  set_property(TARGET ${test} PROPERTY LINK_LIBRARIES vorcore policydb memstore reqgate edgeserv voraux
               GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${test} PRIVATE ${CMAKE_SOURCE_DIR}/admin/api
                             ${CMAKE_SOURCE_DIR}/admin/server/panelhttp/tests
                             ${CMAKE_SOURCE_DIR}/admin/server/panelhttp ${CMAKE_SOURCE_DIR}/platform/tests)
  target_compile_definitions(${test} PRIVATE QUORIN_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endforeach()

# The browser test runs the daemon with every built module in a runtime tree of its own.
add_dependencies(adminweb_browser_test quorind quorinctl daemon_fixture edgeserv panelhttp panelbase adminweb
                 policydb memstore reqgate)
target_compile_definitions(adminweb_browser_test PRIVATE QUORIN_BIN_DIR="${CMAKE_BINARY_DIR}"
                           QUORIN_FIXTURE="$<TARGET_FILE:daemon_fixture>")

# The purges end to end: the laid-out node between curl and a python origin.
add_test(NAME adminweb_purge_e2e COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/adminweb_purge_e2e.py
         --build ${CMAKE_BINARY_DIR} --source ${CMAKE_SOURCE_DIR})
set_tests_properties(adminweb_purge_e2e PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 LABELS unit)
