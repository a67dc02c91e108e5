# Real capture through Pkiolib on a veth pair in a private network namespace,
# fed by velto-sim.
kavex_add_tests(capture_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/capture_e2e_test.cc
  LIBS pkiolib kavex_sync kavex_simulator
  LABELS e2e)
add_dependencies(capture_e2e_test velto-sim)
target_compile_definitions(capture_e2e_test PRIVATE
  KAVEX_VELTO_SIM="$<TARGET_FILE:velto-sim>")
