# The address-line parser: a static library that the rules store, the request handler and the
# pipe each link, and its test.
add_library(addrline STATIC ${CMAKE_CURRENT_LIST_DIR}/addrline.cpp)
target_include_directories(addrline PUBLIC ${CMAKE_CURRENT_LIST_DIR})
set_target_properties(addrline PROPERTIES POSITION_INDEPENDENT_CODE ON)
vor_library_defaults(addrline)

if(VOR_TESTS AND NOT VOR_FUZZ)
  add_executable(addrline_test ${CMAKE_CURRENT_LIST_DIR}/tests/addrline/addrline_test.cpp)
  target_link_libraries(addrline_test PRIVATE addrline GTest::gtest GTest::gtest_main)
  target_compile_options(addrline_test PRIVATE ${VOR_WARNINGS})
  gtest_discover_tests(addrline_test DISCOVERY_TIMEOUT 120 PROPERTIES LABELS unit)
endif()
