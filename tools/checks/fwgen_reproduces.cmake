# Runs PROGRAM (nuvix-fwgen) into WORK and fails unless every image it writes
# equals the shipped one in SHIPPED byte for byte.
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${PROGRAM} ${WORK} RESULT_VARIABLE code)
if(NOT code EQUAL 0)
  message(FATAL_ERROR "nuvix-fwgen failed: ${code}")
endif()
foreach(name loader main alternate)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/${name}.hex ${SHIPPED}/${name}.hex
                  RESULT_VARIABLE differ)
  if(differ)
    message(FATAL_ERROR "${name}.hex: the generator's output differs from the shipped file")
  endif()
endforeach()
message(STATUS "loader.hex, main.hex and alternate.hex reproduced")
