# Stand-alone load-test servers (not Google Benchmark programs): run by hand against wrk.
add_executable(bigbox_http ${CMAKE_SOURCE_DIR}/bench/bigbox_http.cpp)
target_link_libraries(bigbox_http PRIVATE vorcore_static)
target_compile_options(bigbox_http PRIVATE ${VOR_WARNINGS})
set_target_properties(bigbox_http PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
