# Item reads through the device interface, with 1 and 1000 switches.
if(TARGET kavex_device_object)
  kavex_add_benchmark(bench_device_read
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_device_read.cc
    LIBS kavex_device_object)
endif()
