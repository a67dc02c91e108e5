# Saving and loading a large configuration file.
if(TARGET kavex_config)
  kavex_add_benchmark(bench_config
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_config.cc
    LIBS kavex_config)
endif()
