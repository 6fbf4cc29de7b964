# The hit benchmark stores its copies in the memory cache, and takes in the whole request
# filter, so that a hit path missing from it shows as a skipped case instead of a link error.
target_link_libraries(reqgate_hit_bench PRIVATE memstore)
target_link_options(reqgate_hit_bench PRIVATE "LINKER:--whole-archive" "$<TARGET_FILE:reqgate_for_tests>"
                    "LINKER:--no-whole-archive")

# The writer benchmark pins a slave thread with a loopback connection (the tests' socket helpers).
target_include_directories(reqgate_writer_bench PRIVATE ${CMAKE_SOURCE_DIR}/platform/tests)
