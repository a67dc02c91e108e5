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

# kavex_generate_interfaces(<target> <file.idl> [IMPORTS <file.idl>...])
#
# Runs platform/com/gen_interfaces.py on an interface file of the current
# directory: the declarations header (included as "<dir>/<name>.h") and the
# descriptions source become part of <target>, and every target linking
# <target> finds the header. IMPORTS names the interface files it imports
# (paths from the top of the tree), so edits there regenerate it.
function(kavex_generate_interfaces target idl)
  cmake_parse_arguments(ARG "" "" "IMPORTS" ${ARGN})
  file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR}
       ${CMAKE_CURRENT_SOURCE_DIR}/${idl})
  string(REGEX REPLACE "\\.idl$" "" stem ${relative})
  set(out_dir ${CMAKE_BINARY_DIR}/generated)
  set(header ${out_dir}/${stem}.h)
  set(source ${out_dir}/${stem}_descriptions.cc)
  set(imports)
  foreach(import ${ARG_IMPORTS})
    list(APPEND imports ${CMAKE_SOURCE_DIR}/${import})
  endforeach()
  set(generator ${CMAKE_SOURCE_DIR}/platform/com/gen_interfaces.py)
  add_custom_command(
    OUTPUT ${header} ${source}
    COMMAND ${Python3_EXECUTABLE} ${generator} --root ${CMAKE_SOURCE_DIR}
            --out ${out_dir} ${relative}
    DEPENDS ${generator} ${CMAKE_CURRENT_SOURCE_DIR}/${idl} ${imports}
    COMMENT "Generating declarations and descriptions from ${relative}"
    VERBATIM)
  target_sources(${target} PRIVATE ${header} ${source})
  target_include_directories(${target} PUBLIC ${out_dir})
endfunction()
