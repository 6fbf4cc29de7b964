# The daemon's tests run quorind and quorinctl as subprocesses in a temporary runtime tree,
# with fixture daemon modules that link the shared vorcore as real modules do: daemon_fixture's
# descriptors drive the loader, fixmod is a module made by vor_deliverable.
set(QUORIN_FIXTURE_DIR ${CMAKE_BINARY_DIR}/fixtures/daemon)
add_library(daemon_fixture SHARED ${CMAKE_SOURCE_DIR}/src/tests/fixtures/daemon_module_fixture.cpp)
target_link_libraries(daemon_fixture PRIVATE vorcore)
vor_shared_library(daemon_fixture)
target_compile_options(daemon_fixture PRIVATE ${VOR_WARNINGS})
set_target_properties(daemon_fixture PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${QUORIN_FIXTURE_DIR})
foreach(test quorind_test quorinctl_test)
  add_dependencies(${test} daemon_fixture quorind quorinctl)
  target_compile_definitions(${test} PRIVATE QUORIN_BIN_DIR="${CMAKE_BINARY_DIR}"
                             QUORIN_FIXTURE="$<TARGET_FILE:daemon_fixture>")
endforeach()
add_dependencies(quorind_test fixmod)
target_compile_definitions(quorind_test PRIVATE QUORIN_FIXMOD="$<TARGET_FILE:fixmod>")
target_sources(quorind_test PRIVATE ${CMAKE_SOURCE_DIR}/src/program_path.cpp)
target_include_directories(quorind_test PRIVATE ${CMAKE_SOURCE_DIR}/src)
