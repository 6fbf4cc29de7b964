# The daemon test runs quorind in a temporary runtime tree with the edge server, the rules store
# and this module.
add_dependencies(upfetch_daemon_test quorind quorinctl edgeserv policydb voraux tallies nameres replier reqgate memstore
                 conduit upfetch)
target_compile_definitions(upfetch_daemon_test PRIVATE QUORIN_BIN_DIR="${CMAKE_BINARY_DIR}"
                           UPFETCH_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

# Two plug-in libraries the plug-in host's test loads from a temporary runtime tree.
foreach(fixture first second)
  add_library(quo_fixture_${fixture} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/tests/fixtures/quo_fixture_plugin.cpp)
  target_link_libraries(quo_fixture_${fixture} PRIVATE vorcore)
  target_include_directories(quo_fixture_${fixture} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(quo_fixture_${fixture} PRIVATE FIXTURE_NAME="${fixture}")
  target_compile_options(quo_fixture_${fixture} PRIVATE ${VOR_WARNINGS} -fvisibility=hidden)
  add_dependencies(upfetch_plugins_test quo_fixture_${fixture})
endforeach()
target_compile_definitions(quo_fixture_first PRIVATE FIXTURE_FIRST=1)
target_compile_definitions(upfetch_plugins_test PRIVATE
                           QUO_FIXTURE_FIRST="$<TARGET_FILE:quo_fixture_first>"
                           QUO_FIXTURE_SECOND="$<TARGET_FILE:quo_fixture_second>")

# The relay tests run the node between curl and python origins (tests/fixtures/relay_origin.py).
foreach(relay_test upfetch_relay_test upfetch_relay_mt_test)
  add_dependencies(${relay_test} quorind quorinctl edgeserv policydb voraux tallies nameres replier reqgate memstore
                   conduit upfetch)
  target_compile_definitions(${relay_test} PRIVATE QUORIN_BIN_DIR="${CMAKE_BINARY_DIR}"
                             UPFETCH_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  # The resolver tests' dnsmasq on 127.0.0.1 serves the upstream names.
  target_include_directories(${relay_test} PRIVATE ${CMAKE_SOURCE_DIR}/outside/nameres/tests)
endforeach()

# A plug-in that adds a tail to bodies ending with their connection, for the relay tests.
add_library(quo_tail_plugin SHARED ${CMAKE_CURRENT_SOURCE_DIR}/tests/fixtures/quo_tail_plugin.cpp)
target_link_libraries(quo_tail_plugin PRIVATE vorcore)
target_include_directories(quo_tail_plugin PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(quo_tail_plugin PRIVATE ${VOR_WARNINGS} -fvisibility=hidden)
add_dependencies(upfetch_relay_test quo_tail_plugin)
target_compile_definitions(upfetch_relay_test PRIVATE QUO_TAIL_PLUGIN="$<TARGET_FILE:quo_tail_plugin>")

# The end-to-end suite (tests/e2e/): the node laid out from this build between curl and nginx,
# python and dnsmasq peers; the soak under wrk also runs in the ThreadSanitizer build. It answers
# 77 (skipped) when a peer program is missing.
add_library(e2e_refusing_plugin SHARED ${CMAKE_CURRENT_SOURCE_DIR}/tests/e2e/e2e_refusing_plugin.cpp)
target_link_libraries(e2e_refusing_plugin PRIVATE vorcore edgeserv)
target_include_directories(e2e_refusing_plugin PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(e2e_refusing_plugin PRIVATE ${VOR_WARNINGS})
vor_shared_library(e2e_refusing_plugin RUNPATH "$ORIGIN/../modules")
# proxy_e2e_script(NAME SCRIPT TIMEOUT LABEL [ARGS...]): one end-to-end script of tests/e2e/ run
# against this build's laid-out node; 77 means a peer program is missing.
function(proxy_e2e_script name script timeout label)
  add_test(NAME ${name} COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/tests/e2e/${script} ${ARGN}
           --build ${CMAKE_BINARY_DIR} --source ${CMAKE_SOURCE_DIR} --plugin $<TARGET_FILE:e2e_refusing_plugin>)
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT ${timeout} LABELS ${label})
endfunction()
proxy_e2e_script(proxy_e2e e2e_suite.py 300 unit)
proxy_e2e_script(proxy_e2e_soak e2e_suite.py 300 threaded --soak)

# The memory cache end to end: hits, ranges, 304s, revalidation and session copies through the
# laid-out node, with one python origin (tests/e2e/e2e_cache.py).
proxy_e2e_script(proxy_e2e_cache e2e_cache.py 120 unit)

# Invalidation by unsafe methods, shared-cache freshness and 304 head updates through the laid-out
# node, memory alone and with the disk cache (tests/e2e/e2e_caching.py, an origin of its own).
proxy_e2e_script(proxy_e2e_caching e2e_caching.py 180 unit)

# The disk cache end to end: cache files and index records through the laid-out node, across a
# kill -9 and a restart (tests/e2e/e2e_disk.py).
proxy_e2e_script(proxy_e2e_disk e2e_disk.py 120 unit)

# Disk hits end to end: bodies and ranges from cache files, chunked copies and a pipelined request
# behind a disk read, with one python origin (tests/e2e/e2e_diskhit.py). Its 3 MB misses written to
# disk take a minute or more on a loaded machine, hence the timeout.
proxy_e2e_script(proxy_e2e_diskhit e2e_diskhit.py 600 unit)

# The disk cache across a SIGTERM and a SIGKILL, and under load with version moves, purges and
# index cleaning at once; the load case also runs in the ThreadSanitizer build
# (tests/e2e/e2e_disk_load.py). Both fill the cache with misses written to disk, which take two
# minutes and more on a loaded machine, hence the timeouts.
proxy_e2e_script(proxy_e2e_disk_restart e2e_disk_load.py 600 unit --case restart)
proxy_e2e_script(proxy_e2e_disk_load e2e_disk_load.py 600 threaded --case load)

# TLS end to end: upstream TLS to nginx (TLS 1.2 only, TLS 1.3 only, short keep-alive) and python
# TLS origins, sessions resumed, the upstream's close_notify, a plain origin on a TLS port, the retry
# to a second address, and a proxy host's own certificate on the HTTPS port (tests/e2e/e2e_tls.py).
proxy_e2e_script(proxy_e2e_tls e2e_tls.py 300 unit)

# HTTPS request bytes in TLS records cut at every record boundary while the upstream's name is
# looked up, through the laid-out node with a slow python name server and a python origin
# (tests/e2e/e2e_tls_batches.py).
proxy_e2e_script(proxy_e2e_tls_batches e2e_tls_batches.py 120 unit)

# The node as an HTTP/1.1 intermediary: one table of raw exchanges (hop-by-hop fields, HTTP/1.0
# clients, closes, answers during a request body, pipelined requests over memory and disk hits,
# misses and a look-up) against a recording origin (tests/e2e/e2e_http11.py).
proxy_e2e_script(proxy_e2e_http11 e2e_http11.py 180 unit)

# The long end-to-end runs start first, so that no core waits on them at the end of a run.
vor_test_costs(proxy_e2e_disk_load 28 proxy_e2e_disk_restart 25 proxy_e2e_soak 24 proxy_e2e_diskhit 13
               proxy_e2e 11)
