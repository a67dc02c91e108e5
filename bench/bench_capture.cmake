# Capture throughput through Pkiolib on a veth pair (run as root).
kavex_add_benchmark(bench_capture
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_capture.cc
          ${CMAKE_CURRENT_LIST_DIR}/thread_user_time.cc
  LIBS pkiolib kavex_sync)
if(TARGET bench_capture)
  add_dependencies(bench_capture velto-sim)
  target_compile_definitions(bench_capture PRIVATE
    KAVEX_VELTO_SIM="$<TARGET_FILE:velto-sim>")
endif()
# The user-time accounting is tested on its own: the benchmark's headline
# figure rests on it.
kavex_add_tests(bench_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/thread_user_time.cc
          ${CMAKE_CURRENT_LIST_DIR}/thread_user_time_test.cc)
