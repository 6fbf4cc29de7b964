# The header wall: every public header of vorcore compiles alone as C11 (unless marked C++
# only) and as C++20 with the consumers' include path, and no file outside vorcore's folders
# includes an internal header or is compiled with vorcore's private view (its benchmarks may).
# header_wall_test checks the check itself on small trees.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(wall_flags "")
foreach(dir IN LISTS OPENSSL_INCLUDE_DIR PCRE2_INCLUDE_DIRS)
  list(APPEND wall_flags --flag=-I${dir})
endforeach()
add_test(NAME header_wall
         COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/cmake/header_wall.py --source ${CMAKE_SOURCE_DIR}
                 --dirs ${VORCORE_DIRS} --public-include ${VORCORE_PUBLIC_INCLUDE}
                 --cc ${CMAKE_C_COMPILER} --cxx ${CMAKE_CXX_COMPILER} ${wall_flags}
                 --compile-commands ${CMAKE_BINARY_DIR}/compile_commands.json --own bench)
add_test(NAME header_wall_test
         COMMAND Python3::Interpreter -m unittest discover -s ${CMAKE_SOURCE_DIR}/cmake/tests
                 -p header_wall_test.py)
set_tests_properties(header_wall header_wall_test PROPERTIES LABELS unit)
