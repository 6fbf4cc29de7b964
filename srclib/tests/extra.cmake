# Fixture modules for cu_module_test: two copies of one source that export the same names.
set(VOR_FIXTURE_DIR ${CMAKE_BINARY_DIR}/fixtures/modules)
foreach(fixture a b)
  add_library(vorfixture_${fixture} SHARED ${CMAKE_SOURCE_DIR}/srclib/tests/fixtures/module_fixture.cpp)
  target_compile_definitions(vorfixture_${fixture} PRIVATE FIXTURE_NAME="fixture-${fixture}")
  set_target_properties(vorfixture_${fixture} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${VOR_FIXTURE_DIR}
                        CXX_VISIBILITY_PRESET hidden)
  target_compile_options(vorfixture_${fixture} PRIVATE ${VOR_WARNINGS})
endforeach()
target_compile_definitions(vorfixture_a PRIVATE FIXTURE_ADD=1)
target_compile_definitions(vorfixture_b PRIVATE FIXTURE_ADD=2)
add_dependencies(cu_module_test vorfixture_a vorfixture_b)
target_compile_definitions(cu_module_test PRIVATE VOR_FIXTURE_DIR="${VOR_FIXTURE_DIR}")
