# The firmware images ship as Intel HEX files in driver/firmware/images. Each
# becomes a LoadRecord table in a source generated into the build tree and
# compiled into the driver, in the host builds and in the cross build alike
# (the conversion is a CMake script: the cross build has no host compiler).
set(NUVIX_FIRMWARE_IMAGE_DIR ${CMAKE_SOURCE_DIR}/driver/firmware/images)

# Sets out_var to the generated sources, one per image.
function(nuvix_firmware_image_sources out_var)
  set(sources "")
  foreach(entry loader:LoaderImage main:MainImage alternate:AlternateImage)
    string(REPLACE ":" ";" entry "${entry}")
    list(GET entry 0 name)
    list(GET entry 1 symbol)
    set(hex ${NUVIX_FIRMWARE_IMAGE_DIR}/${name}.hex)
    set(table ${CMAKE_BINARY_DIR}/generated/firmware/${name}_image.cpp)
    add_custom_command(
      OUTPUT ${table}
      COMMAND ${CMAKE_COMMAND} -DHEX=${hex} -DOUT=${table} -DSYMBOL=${symbol}
              -P ${CMAKE_SOURCE_DIR}/cmake/hex_to_records.cmake
      DEPENDS ${hex} ${CMAKE_SOURCE_DIR}/cmake/hex_to_records.cmake
      COMMENT "Converting firmware image ${name}.hex into ${symbol}"
      VERBATIM)
    list(APPEND sources ${table})
  endforeach()
  set(${out_var} ${sources} PARENT_SCOPE)
endfunction()
