# The device's start-up: configuration, capture and the running state that
# device objects share. Static and position-independent: it goes into the
# plug-in module and into tools and tests.
if(NOT TARGET kavex_velto OR NOT TARGET xdomlib OR NOT TARGET pkiolib
   OR NOT TARGET kavex_registry)
  message(STATUS "device/: the runtime waits for xdomlib, pkiolib and the registry")
  return()
endif()

add_library(kavex_device_runtime STATIC
  capture.cc
  capture_message.cc
  device_config.cc
  device_runtime.cc
  packet_driver.cc)
set_target_properties(kavex_device_runtime PROPERTIES
  POSITION_INDEPENDENT_CODE ON)
target_link_libraries(kavex_device_runtime PUBLIC
  kavex_velto xdomlib pkiolib kavex_registry kavex_com kavex_sync)
if(TARGET kavex_ui)
  target_link_libraries(kavex_device_runtime PUBLIC kavex_ui)
endif()
