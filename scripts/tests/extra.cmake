# The runtime tree scripts/run lays out, checked on a made-up build folder.
add_test(NAME lay_out_dist_test COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/tests/lay_out_dist_test.sh)
set_tests_properties(lay_out_dist_test PROPERTIES LABELS unit)
