# Stand-alone load-test servers (not Google Benchmark programs): run by hand against wrk.
add_executable(bigbox_http ${CMAKE_SOURCE_DIR}/bench/bigbox_http.cpp)
target_link_libraries(bigbox_http PRIVATE vorcore_static)
target_compile_options(bigbox_http PRIVATE ${VOR_WARNINGS})
set_target_properties(bigbox_http PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)

# The disk-cache index stores beside plain SQLite, and the statistics counters. It links the
# shared libraries (voraux, tallies and with them the shared vorcore), never vorcore_static.
add_executable(kv2_index ${CMAKE_SOURCE_DIR}/bench/kv2_index.cpp)
target_link_libraries(kv2_index PRIVATE voraux tallies PkgConfig::SQLITE3)
target_compile_options(kv2_index PRIVATE ${VOR_WARNINGS})
set_target_properties(kv2_index PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench
                      BUILD_RPATH ${CMAKE_BINARY_DIR})

# The edge server's load-test sub-module (bench/edge_read runs it inside the daemon).
add_library(edge_read_module SHARED ${CMAKE_SOURCE_DIR}/bench/edge_read_module.cpp)
target_link_libraries(edge_read_module PRIVATE edgeserv)
vor_shared_library(edge_read_module)
target_compile_options(edge_read_module PRIVATE ${VOR_WARNINGS})
set_target_properties(edge_read_module PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)

# The edge server's output load-test sub-module (bench/edge_pages and bench/edge_files).
add_library(edge_out_module SHARED ${CMAKE_SOURCE_DIR}/bench/edge_out_module.cpp)
target_link_libraries(edge_out_module PRIVATE edgeserv)
vor_shared_library(edge_out_module)
target_compile_options(edge_out_module PRIVATE ${VOR_WARNINGS})
set_target_properties(edge_out_module PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)

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
