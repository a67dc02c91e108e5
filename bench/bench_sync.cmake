kavex_add_benchmark(bench_sync
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_sync.cc
  LIBS kavex_sync)
