# kavex_add_tests(<name> SOURCES <files...> LIBS <libs...> [LABELS <labels...>])
#
# One test executable per directory keeps link time low; every GoogleTest case
# becomes its own ctest test so failures are reported by name.
function(kavex_add_tests name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock
                        GTest::gtest_main Threads::Threads)
  set(props TIMEOUT 300)
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ${props})
endfunction()

# kavex_add_benchmark(<name> SOURCES <files...> LIBS <libs...>)
function(kavex_add_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark
                        Threads::Threads)
endfunction()
