# The device object and the plug-in module libkavex-opc-device.so.
if(NOT TARGET kavex_velto OR NOT TARGET kavex_com)
  message(STATUS "device/: the plug-in waits for kavex_velto and kavex_com")
  return()
endif()

# Item identifiers and the item namespace over a switch table.
add_library(kavex_device_items STATIC item_id.cc item_namespace.cc)
set_target_properties(kavex_device_items PROPERTIES
  POSITION_INDEPENDENT_CODE ON)
target_link_libraries(kavex_device_items PUBLIC kavex_velto kavex_com)

set(device_plugin_test_sources item_id_test.cc item_namespace_test.cc)
set(device_plugin_test_libs kavex_device_items)

if(TARGET kavex_device_runtime)
  # CDevice: static so that tests and benchmarks can make one over their own
  # table.
  add_library(kavex_device_object STATIC device_object.cc)
  set_target_properties(kavex_device_object PROPERTIES
    POSITION_INDEPENDENT_CODE ON)
  target_link_libraries(kavex_device_object PUBLIC
    kavex_device_items kavex_device_runtime)

  # Only the four entry points leave the module: its lock count, classes and
  # the process-wide device state stay its own.
  add_library(kavex-opc-device SHARED device_module.cc)
  target_link_libraries(kavex-opc-device PRIVATE kavex_device_object)
  set_target_properties(kavex-opc-device PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_options(kavex-opc-device PRIVATE -Wl,--exclude-libs,ALL)

  list(APPEND device_plugin_test_sources
    device_object_test.cc device_component_test.cc)
  list(APPEND device_plugin_test_libs kavex_device_object)
endif()

kavex_add_tests(device_plugin_test
  SOURCES ${device_plugin_test_sources}
  LIBS ${device_plugin_test_libs})

if(TARGET kavex-opc-device)
  add_dependencies(device_plugin_test kavex-opc-device)
  target_compile_definitions(device_plugin_test PRIVATE
    KAVEX_DEVICE_MODULE_PATH="$<TARGET_FILE:kavex-opc-device>")
endif()
