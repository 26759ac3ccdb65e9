# Every source of the driver, named: a file is compiled into the driver, and
# into nuvixusb.sys, only by being listed here. The tests check that no
# .cpp file under driver/ is left out of this list (driver_sources).
set(NUVIX_DRIVER_SOURCES
  ${CMAKE_SOURCE_DIR}/driver/base/adapter_table.cpp
  ${CMAKE_SOURCE_DIR}/driver/base/context.cpp
  ${CMAKE_SOURCE_DIR}/driver/base/kernel.cpp
  ${CMAKE_SOURCE_DIR}/driver/base/names.cpp
  ${CMAKE_SOURCE_DIR}/driver/base/requests.cpp
  ${CMAKE_SOURCE_DIR}/driver/command/command_queue.cpp
  ${CMAKE_SOURCE_DIR}/driver/command/response_reader.cpp
  ${CMAKE_SOURCE_DIR}/driver/core/configure.cpp
  ${CMAKE_SOURCE_DIR}/driver/core/control_link.cpp
  ${CMAKE_SOURCE_DIR}/driver/core/driver_entry.cpp
  ${CMAKE_SOURCE_DIR}/driver/core/enum_node.cpp
  ${CMAKE_SOURCE_DIR}/driver/core/pnp.cpp
  ${CMAKE_SOURCE_DIR}/driver/core/port_objects.cpp
  ${CMAKE_SOURCE_DIR}/driver/core/removal.cpp
  ${CMAKE_SOURCE_DIR}/driver/diag/control_device.cpp
  ${CMAKE_SOURCE_DIR}/driver/firmware/download.cpp
  ${CMAKE_SOURCE_DIR}/driver/platform/cm_stubs.cpp
  ${CMAKE_SOURCE_DIR}/driver/port/receive.cpp
  ${CMAKE_SOURCE_DIR}/driver/port/reset_pipe.cpp
  ${CMAKE_SOURCE_DIR}/driver/port/transmit.cpp
  ${CMAKE_SOURCE_DIR}/driver/service/port_control.cpp
  ${CMAKE_SOURCE_DIR}/driver/service/port_lookup.cpp
  ${CMAKE_SOURCE_DIR}/driver/service/service_routines.cpp
  ${CMAKE_SOURCE_DIR}/driver/service/service_table.cpp
  ${CMAKE_SOURCE_DIR}/driver/usb/cancel.cpp
  ${CMAKE_SOURCE_DIR}/driver/usb/submit_async.cpp
  ${CMAKE_SOURCE_DIR}/driver/usb/submit_sync.cpp
  ${CMAKE_SOURCE_DIR}/driver/usb/urb_build.cpp
)
