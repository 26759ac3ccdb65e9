# Runs PROGRAM (nuvix-sim) twice with ARGS and fails unless both runs pass and
# print exactly the same thing, schedule line and trace included: in a
# deterministic schedule the seed replays the whole run.
separate_arguments(args UNIX_COMMAND "${ARGS}")
foreach(run 1 2)
  execute_process(COMMAND ${PROGRAM} ${args} RESULT_VARIABLE code OUTPUT_VARIABLE out${run} ERROR_VARIABLE err)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "run ${run} exited ${code}:\n${out${run}}${err}")
  endif()
endforeach()
if(NOT out1 MATCHES "\nSchedule: [a-z]+, [0-9]+ switch points, trace [0-9a-f]+ ")
  message(FATAL_ERROR "no schedule line:\n${out1}")
endif()
if(NOT out1 STREQUAL out2)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/replay_first.txt "${out1}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/replay_second.txt "${out2}")
  message(FATAL_ERROR "two runs with the same seed printed different things (replay_first.txt, replay_second.txt)")
endif()
message(STATUS "${out1}")
