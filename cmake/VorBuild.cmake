# Build rules shared by every deliverable: warnings, sanitizers, exported C interfaces,
# and the conventions that turn files under */tests and bench/ into targets.

set(VOR_WARNINGS -Wall -Wextra -Werror)
# g++ 12 at -O3 reports std::string's own copies as overlapping (-Wrestrict false positive
# inside libstdc++'s char_traits, fixed in g++ 13).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND VOR_WARNINGS -Wno-restrict)
endif()

if(VOR_SANITIZER STREQUAL "asan")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(VOR_ASAN=1)
elseif(VOR_SANITIZER STREQUAL "tsan")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  add_compile_definitions(VOR_TSAN=1)
endif()

if(VOR_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(VOR_ASAN=1 VOR_FUZZING=1)
  # Every fuzz target and what it links, without the rest of the tree (scripts/test builds it).
  add_custom_target(vor_fuzzers)
endif()

# Our own code: warnings as errors, nothing exported but what carries VOR_API.
function(vor_library_defaults target)
  target_compile_options(${target} PRIVATE ${VOR_WARNINGS})
  set_target_properties(${target} PROPERTIES C_VISIBILITY_PRESET hidden
                        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# A shared library of ours: SONAME, RUNPATH $ORIGIN (plus extra run paths given).
function(vor_shared_library target)
  cmake_parse_arguments(A "" "" "RUNPATH" ${ARGN})
  set(rpath "$ORIGIN")
  foreach(p IN LISTS A_RUNPATH)
    string(APPEND rpath ":${p}")
  endforeach()
  set_target_properties(${target} PROPERTIES VERSION 1.0.0 SOVERSION 1
                        BUILD_RPATH "${rpath}" INSTALL_RPATH "${rpath}"
                        BUILD_WITH_INSTALL_RPATH ON
                        C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden
                        VISIBILITY_INLINES_HIDDEN ON)
  # clang leaves the sanitizer runtime to the executable, so a sanitized shared library built
  # with it has undefined runtime symbols by design.
  set(no_undefined -Wl,--no-undefined)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND (VOR_FUZZ OR NOT VOR_SANITIZER STREQUAL "none"))
    set(no_undefined "")
  endif()
  target_link_options(${target} PRIVATE ${no_undefined} -Wl,--enable-new-dtags
                      -Wl,--version-script=${CMAKE_SOURCE_DIR}/cmake/c_only.map)
endfunction()

# The wall between vorcore's public and internal headers. An internal header includes
# "vor_internal.h" first (it refuses every includer but vorcore's own sources and tests); every
# other header in vorcore's folders is public. out_dir is made to hold links to the public ones,
# the only vorcore folder on a consumer's include path.
function(vor_public_header_folder out_dir)
  file(REMOVE_RECURSE ${out_dir})
  file(MAKE_DIRECTORY ${out_dir})
  foreach(dir IN LISTS ARGN)
    file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.h)
    foreach(header IN LISTS headers)
      get_filename_component(name ${header} NAME)
      file(STRINGS ${header} marks REGEX "^#include \"vor_internal\\.h\"")
      if(NOT name STREQUAL "vor_internal.h" AND NOT marks)
        file(CREATE_LINK ${header} ${out_dir}/${name} SYMBOLIC)
      endif()
    endforeach()
  endforeach()
endfunction()

# <dir>/tests/*_test.cpp   one GoogleTest program each (*_mt_test.cpp also labelled "threaded")
# <dir>/tests/*_fuzz.cpp   a libFuzzer target in the fuzz build; elsewhere a test that replays
#                          the seed corpus <dir>/tests/corpus/<name>/ (if present) and a few
#                          built-in inputs through the same entry point
# <dir>/tests/extra.cmake  anything else (fixture libraries, special tests)
function(vor_add_folder_tests dir lib)
  set(tdir ${CMAKE_SOURCE_DIR}/${dir}/tests)
  if(NOT EXISTS ${tdir})
    return()
  endif()
  file(GLOB fuzzers CONFIGURE_DEPENDS ${tdir}/*_fuzz.cpp)
  foreach(src IN LISTS fuzzers)
    get_filename_component(name ${src} NAME_WE)
    if(VOR_FUZZ)
      add_executable(${name} ${src})
      target_link_libraries(${name} PRIVATE ${lib})
      target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/platform/tests)
      target_link_options(${name} PRIVATE -fsanitize=fuzzer)
      # scripts/test runs every fuzz target from the top of the build folder.
      set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
      add_dependencies(vor_fuzzers ${name})
    elseif(VOR_TESTS)
      add_executable(${name} ${src} ${CMAKE_SOURCE_DIR}/platform/tests/fuzz_replay_main.cpp)
      target_link_libraries(${name} PRIVATE ${lib})
      target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/platform/tests)
      target_compile_options(${name} PRIVATE ${VOR_WARNINGS})
      add_test(NAME ${name}.replay COMMAND ${name} ${tdir}/corpus/${name})
    endif()
  endforeach()
  if(NOT VOR_TESTS OR VOR_FUZZ)
    return()
  endif()
  file(GLOB tests CONFIGURE_DEPENDS ${tdir}/*_test.cpp)
  foreach(src IN LISTS tests)
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE ${lib} GTest::gtest GTest::gmock GTest::gtest_main)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/platform/tests)
    target_compile_options(${name} PRIVATE ${VOR_WARNINGS})
    # One label per program: the discovery script flattens a label list into separate
    # property names, so a threaded test is labelled "threaded" instead of "unit".
    set(labels unit)
    if(name MATCHES "_mt_test$")
      set(labels threaded)
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120
                         PROPERTIES LABELS "${labels}" ENVIRONMENT "VOR_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  endforeach()
  if(EXISTS ${tdir}/extra.cmake)
    include(${tdir}/extra.cmake)
  endif()
endfunction()

# vor_test_costs(<test> <seconds> [<test> <seconds> ...]): how long the long tests of the
# calling folder run, so that a parallel ctest starts them first even in a fresh build folder,
# where it has no timings of its own yet. A test added with add_test gets its cost now; a
# discovered GoogleTest case only exists when ctest runs, so its cost is set then. One call per
# folder.
function(vor_test_costs)
  set(lines "")
  set(pairs ${ARGN})
  while(pairs)
    list(POP_FRONT pairs name seconds)
    if(TEST ${name})
      set_tests_properties(${name} PROPERTIES COST ${seconds})
    else()
      string(APPEND lines "set_tests_properties([==[${name}]==] PROPERTIES COST ${seconds})\n")
    endif()
  endwhile()
  if(lines)
    set(file ${CMAKE_CURRENT_BINARY_DIR}/vor_test_costs.cmake)
    file(CONFIGURE OUTPUT ${file} CONTENT "${lines}")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
  endif()
endfunction()

# bench/*_bench.cpp: Google Benchmark programs; bench/*_main.cpp: stand-alone programs.
function(vor_add_benchmarks dir lib)
  find_package(benchmark REQUIRED)
  file(GLOB benches CONFIGURE_DEPENDS ${dir}/*_bench.cpp)
  foreach(src IN LISTS benches)
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE ${lib} benchmark::benchmark benchmark::benchmark_main)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/platform/tests)
    target_compile_options(${name} PRIVATE ${VOR_WARNINGS})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  endforeach()
  if(EXISTS ${dir}/extra.cmake)
    include(${dir}/extra.cmake)
  endif()
endfunction()

# A library delivered beside vorcore (an outside stand-in, a module, a plug-in):
#   vor_deliverable(NAME name SOURCES a.cpp ... [LINKS lib ...] [RUNPATH path ...]
#                   [PLUGIN | FIXTURE])
# builds lib<name>.so next to libvorcore.so (SONAME, RUNPATH $ORIGIN plus the paths given,
# exports only what carries VOR_API), and the tests of the calling folder's tests/ against it.
# Tests link the library's own objects (so they reach its internal C++) with the shared vorcore
# and the other LINKS: one vorcore, one allocator and one set of registries per process.
# The kind decides where scripts/run lays the library out: a module in dist/modules/, a PLUGIN
# in dist/plugins/ (it finds the modules it links through RUNPATH $ORIGIN/../modules), a
# FIXTURE (a library only tests load) nowhere.
function(vor_deliverable)
  cmake_parse_arguments(A "PLUGIN;FIXTURE" "NAME" "SOURCES;LINKS;RUNPATH" ${ARGN})
  set(name ${A_NAME})
  set(kind module)
  set(runpath ${A_RUNPATH})
  if(A_PLUGIN AND A_FIXTURE)
    message(FATAL_ERROR "vor_deliverable(${name}): PLUGIN and FIXTURE exclude each other")
  elseif(A_PLUGIN)
    set(kind plugin)
    list(PREPEND runpath "$ORIGIN/../modules")
  elseif(A_FIXTURE)
    set(kind fixture)
  endif()

  add_library(${name}_objs OBJECT ${A_SOURCES})
  target_link_libraries(${name}_objs PUBLIC vorcore ${A_LINKS})
  target_include_directories(${name}_objs PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  set_target_properties(${name}_objs PROPERTIES POSITION_INDEPENDENT_CODE ON)
  vor_library_defaults(${name}_objs)

  add_library(${name} SHARED $<TARGET_OBJECTS:${name}_objs>)
  target_link_libraries(${name} PUBLIC vorcore ${A_LINKS})
  target_include_directories(${name} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
  vor_shared_library(${name} RUNPATH ${runpath})
  set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
                        VOR_KIND ${kind})
  set_property(GLOBAL APPEND PROPERTY VOR_DELIVERABLES ${name})

  add_library(${name}_for_tests STATIC $<TARGET_OBJECTS:${name}_objs>)
  target_link_libraries(${name}_for_tests PUBLIC vorcore ${A_LINKS})
  target_include_directories(${name}_for_tests PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  file(RELATIVE_PATH folder ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  vor_add_folder_tests(${folder} ${name}_for_tests)
endfunction()

# build/<type>/deliverables.txt, read by scripts/run: one line per library delivered beside
# vorcore, "<kind> <file> <soname file> <link file>" (kind: module, plugin or fixture).
function(vor_write_deliverable_manifest)
  get_property(names GLOBAL PROPERTY VOR_DELIVERABLES)
  set(lines "")
  foreach(name IN LISTS names)
    get_target_property(kind ${name} VOR_KIND)
    string(APPEND lines "${kind} $<TARGET_FILE_NAME:${name}> $<TARGET_SONAME_FILE_NAME:${name}> "
           "$<TARGET_LINKER_FILE_NAME:${name}>\n")
  endforeach()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/deliverables.txt CONTENT "${lines}")
endfunction()
