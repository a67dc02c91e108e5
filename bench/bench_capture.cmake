# Capture throughput through Pkiolib on a veth pair (run as root).
kavex_add_benchmark(bench_capture
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_capture.cc
  LIBS pkiolib kavex_sync)
if(TARGET bench_capture)
  add_dependencies(bench_capture velto-sim)
  target_compile_definitions(bench_capture PRIVATE
    KAVEX_VELTO_SIM="$<TARGET_FILE:velto-sim>")
endif()
