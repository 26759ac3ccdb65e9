# Real-platform build: every driver source compiled by the i686 cross compiler
# against the platform's own DDK headers. The layout checks in
# driver/platform/layout_checks.h are enforced here.
add_library(nuvix_driver_target OBJECT ${NUVIX_DRIVER_SOURCES} ${NUVIX_FIRMWARE_IMAGE_SOURCES})
target_include_directories(nuvix_driver_target PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(nuvix_driver_target SYSTEM PRIVATE ${NUVIX_DDK_INCLUDE})
target_compile_definitions(nuvix_driver_target PRIVATE NUVIX_TARGET=1)
target_compile_options(nuvix_driver_target PRIVATE ${NUVIX_KERNEL_FLAGS} -ffreestanding -Wno-unknown-pragmas)

# The target build runs nothing; its test checks that every driver source,
# the ones generated from the firmware images included, produced an object
# for the platform.
enable_testing()
list(LENGTH NUVIX_DRIVER_SOURCES NUVIX_DRIVER_SOURCE_COUNT)
list(LENGTH NUVIX_FIRMWARE_IMAGE_SOURCES NUVIX_GENERATED_SOURCE_COUNT)
math(EXPR NUVIX_TARGET_OBJECT_COUNT "${NUVIX_DRIVER_SOURCE_COUNT} + ${NUVIX_GENERATED_SOURCE_COUNT}")
add_test(NAME target.every_driver_source_compiled
         COMMAND ${CMAKE_COMMAND} -DOBJECTS=$<TARGET_OBJECTS:nuvix_driver_target>
                 -DEXPECTED=${NUVIX_TARGET_OBJECT_COUNT} -DGENERATED=${NUVIX_GENERATED_SOURCE_COUNT}
                 -P ${CMAKE_SOURCE_DIR}/cmake/check_objects.cmake)

# The image the platform loads: a native-subsystem PE whose only export is
# the service table's function and whose only imports are the kernel, the
# HAL and the USB bus driver's library.
add_library(nuvixusb SHARED $<TARGET_OBJECTS:nuvix_driver_target> ${CMAKE_SOURCE_DIR}/driver/image/nuvixusb.def)
set_target_properties(nuvixusb PROPERTIES PREFIX "" SUFFIX ".sys" OUTPUT_NAME nuvixusb LINKER_LANGUAGE CXX)
target_link_options(nuvixusb PRIVATE -nostdlib -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
                    -Wl,--image-base,0x10000 -Wl,--no-insert-timestamp)
target_link_libraries(nuvixusb PRIVATE ntoskrnl usbd hal)

add_test(NAME target.image_exports_and_imports
         COMMAND ${CMAKE_COMMAND} -DIMAGE=$<TARGET_FILE:nuvixusb> -DOBJDUMP=${NUVIX_TARGET_OBJDUMP}
                 -P ${CMAKE_SOURCE_DIR}/cmake/check_image.cmake)

# For the 32-bit host build's tests only: the same image with one completion
# routine (the port read's) declared in the C convention instead of stdcall.
# The simulation running the image must catch it; the 64-bit simulation,
# where both conventions are one, cannot.
option(NUVIX_WRONG_CONVENTION_IMAGE "Also link nuvixusb_wrong_convention.sys (a test image)" OFF)
if(NUVIX_WRONG_CONVENTION_IMAGE)
  add_library(nuvix_wrong_convention_receive OBJECT ${CMAKE_SOURCE_DIR}/driver/port/receive.cpp)
  target_include_directories(nuvix_wrong_convention_receive PRIVATE ${CMAKE_SOURCE_DIR})
  target_include_directories(nuvix_wrong_convention_receive SYSTEM PRIVATE ${NUVIX_DDK_INCLUDE})
  target_compile_definitions(nuvix_wrong_convention_receive PRIVATE NUVIX_TARGET=1 NUVIX_WRONG_COMPLETION_CONVENTION=1)
  target_compile_options(nuvix_wrong_convention_receive PRIVATE ${NUVIX_KERNEL_FLAGS} -ffreestanding -Wno-unknown-pragmas)
  add_library(nuvixusb_wrong_convention SHARED
              $<FILTER:$<TARGET_OBJECTS:nuvix_driver_target>,EXCLUDE,/port/receive\.cpp\.obj$>
              $<TARGET_OBJECTS:nuvix_wrong_convention_receive> ${CMAKE_SOURCE_DIR}/driver/image/nuvixusb.def)
  set_target_properties(nuvixusb_wrong_convention PROPERTIES PREFIX "" SUFFIX ".sys" LINKER_LANGUAGE CXX)
  target_link_options(nuvixusb_wrong_convention PRIVATE -nostdlib -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
                      -Wl,--image-base,0x10000 -Wl,--no-insert-timestamp)
  target_link_libraries(nuvixusb_wrong_convention PRIVATE ntoskrnl usbd hal)
endif()
