# Copies SOURCE (a shipped image) into WORK with one data digit of line 7
# changed, and expects PROGRAM (nuvix-fwinfo) to refuse it with the file, the
# line and the reason.
file(MAKE_DIRECTORY ${WORK})
set(copy ${WORK}/main-corrupted.hex)
# NO_HEX_CONVERSION: file(STRINGS) would otherwise decode Intel HEX into binary.
file(STRINGS ${SOURCE} lines NO_HEX_CONVERSION)
list(GET lines 6 line)
# Character 10 is the first data digit (after ':', count, address, type).
string(SUBSTRING "${line}" 0 9 head)
string(SUBSTRING "${line}" 9 1 digit)
string(SUBSTRING "${line}" 10 -1 tail)
if(digit STREQUAL "0")
  set(digit 1)
else()
  set(digit 0)
endif()
list(REMOVE_AT lines 6)
list(INSERT lines 6 "${head}${digit}${tail}")
list(JOIN lines "\n" text)
file(WRITE ${copy} "${text}\n")

execute_process(COMMAND ${PROGRAM} ${copy} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
message(STATUS "exit ${code}\nstdout:\n${out}stderr:\n${err}")
if(code EQUAL 0)
  message(FATAL_ERROR "the corrupted copy was accepted")
endif()
string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\1" quoted "${copy}")
if(NOT err MATCHES "^nuvix-fwinfo: error: ${quoted}:7: bad checksum 0x[0-9A-F][0-9A-F] \\(expected 0x[0-9A-F][0-9A-F]\\)\n$")
  message(FATAL_ERROR "not the expected one-line message naming ${copy}, line 7 and a bad checksum")
endif()
