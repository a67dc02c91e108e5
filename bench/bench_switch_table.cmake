# Frame handling cost of the switch table, with 1 and 1000 switches.
if(TARGET kavex_velto)
  kavex_add_benchmark(bench_switch_table
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_switch_table.cc
    LIBS kavex_velto)
endif()
