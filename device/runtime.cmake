# The device's start-up: configuration, capture and the running state that
# device objects share. Static and position-independent: it goes into the
# plug-in module and into tools and tests.
if(NOT TARGET kavex_velto OR NOT TARGET xdomlib OR NOT TARGET pkiolib
   OR NOT TARGET kavex_registry OR NOT TARGET kavex_ui)
  message(STATUS "device/: the runtime waits for xdomlib, pkiolib, the registry and kavex_ui")
  return()
endif()

add_library(kavex_device_runtime STATIC
  capture.cc
  device_config.cc
  device_runtime.cc
  packet_driver.cc)
set_target_properties(kavex_device_runtime PROPERTIES
  POSITION_INDEPENDENT_CODE ON)
target_link_libraries(kavex_device_runtime PUBLIC
  kavex_velto xdomlib pkiolib kavex_registry kavex_ui kavex_com kavex_sync)

# kavex-live: the device's live items on a simulated LAN (scripts/run).
add_executable(kavex-live live/kavex_live.cc)
target_link_libraries(kavex-live PRIVATE kavex_com kavex_registry
  ${CMAKE_DL_LIBS})

# The plug-in module is defined after this file; hook it up once the whole
# directory has been read.
function(kavex_live_use_device_module)
  if(TARGET kavex-opc-device)
    add_dependencies(kavex-live kavex-opc-device)
    target_compile_definitions(kavex-live PRIVATE
      KAVEX_DEVICE_MODULE_PATH="$<TARGET_FILE:kavex-opc-device>")
  endif()
endfunction()
cmake_language(DEFER CALL kavex_live_use_device_module)

file(GLOB device_runtime_tests CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/capture_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/device_config_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/device_runtime_test.cc)
kavex_add_tests(device_runtime_test
  SOURCES ${device_runtime_tests}
  LIBS kavex_device_runtime)
