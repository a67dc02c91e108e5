# The device plug-in on real capture: created by ProgID in a private registry
# root, capturing on a veth pair in a private network namespace, fed by
# velto-sim.
if(TARGET kavex-opc-device AND TARGET kavex_device_runtime
   AND TARGET velto-sim)
  kavex_add_tests(device_e2e_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/device_e2e_test.cc
    LIBS kavex_device_runtime kavex_simulator
    LABELS e2e)
  add_dependencies(device_e2e_test velto-sim kavex-opc-device)
  target_compile_definitions(device_e2e_test PRIVATE
    KAVEX_VELTO_SIM="$<TARGET_FILE:velto-sim>"
    KAVEX_DEVICE_MODULE_PATH="$<TARGET_FILE:kavex-opc-device>")
endif()
