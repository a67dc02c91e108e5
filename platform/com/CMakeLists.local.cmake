# The regsvr tool and the test module the activation tests load.
add_executable(regsvr regsvr/regsvr_main.cc)
target_link_libraries(regsvr PRIVATE kavex_com ${CMAKE_DL_LIBS})

# Only the entry points leave the module; everything else stays inside, so
# its lock count and classes are its own.
add_library(kavex_com_testmodule MODULE
            test_module/test_widget_testmodule.cc)
target_link_libraries(kavex_com_testmodule PRIVATE kavex_com)
set_target_properties(kavex_com_testmodule PROPERTIES
  OUTPUT_NAME kavex-com-testmodule
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)

add_dependencies(com_test regsvr kavex_com_testmodule)
target_compile_definitions(com_test PRIVATE
  KAVEX_TEST_MODULE_PATH="$<TARGET_FILE:kavex_com_testmodule>"
  KAVEX_REGSVR_PATH="$<TARGET_FILE:regsvr>")
