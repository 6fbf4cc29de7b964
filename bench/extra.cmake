# Stand-alone load-test servers (not Google Benchmark programs): run by hand against wrk.
add_executable(bigbox_http ${CMAKE_SOURCE_DIR}/bench/bigbox_http.cpp)
target_link_libraries(bigbox_http PRIVATE vorcore_static)
target_compile_options(bigbox_http PRIVATE ${VOR_WARNINGS})
set_target_properties(bigbox_http PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)

# Other allocators for bench/malloc_bench's comparison, one program each: linking one replaces
# that program's malloc, which must not happen to the allocator under test. Left out of the
# sanitizer builds, whose runtime owns malloc.
foreach(peer jemalloc tcmalloc mimalloc)
  if(NOT VOR_SANITIZER STREQUAL "none")
    break()
  endif()
  if(peer STREQUAL "tcmalloc")
    find_library(MALLOC_PEER_${peer}_LIB NAMES tcmalloc_minimal)
  else()
    find_library(MALLOC_PEER_${peer}_LIB NAMES ${peer})
  endif()
  if(MALLOC_PEER_${peer}_LIB)
    string(TOUPPER ${peer} upper)
    add_executable(malloc_peer_${peer} ${CMAKE_SOURCE_DIR}/bench/malloc_peer_main.cpp)
    target_compile_definitions(malloc_peer_${peer} PRIVATE MALLOC_PEER_${upper})
    target_link_libraries(malloc_peer_${peer} PRIVATE ${MALLOC_PEER_${peer}_LIB} Threads::Threads)
    target_compile_options(malloc_peer_${peer} PRIVATE ${VOR_WARNINGS})
    set_target_properties(malloc_peer_${peer} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
    add_dependencies(malloc_bench malloc_peer_${peer})
  endif()
endforeach()
