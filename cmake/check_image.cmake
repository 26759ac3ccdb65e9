# Checks the driver image: its export table names _RbGetServiceTable@0 and
# nothing else; it imports from ntoskrnl.exe, hal.dll and usbd.sys only; and
# each Configuration Manager stub is the VxD service call in its jump form.
execute_process(COMMAND ${OBJDUMP} -p ${IMAGE} OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${IMAGE} failed")
endif()

string(REGEX MATCH "Subsystem[ \t]+0*1[ \t]+\\(NT native\\)" native "${headers}")
if(NOT native)
  message(FATAL_ERROR "${IMAGE} is not a native-subsystem image")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" modules "${headers}")
set(expected_modules "DLL Name: HAL.dll;DLL Name: ntoskrnl.exe;DLL Name: USBD.SYS")
list(SORT modules CASE INSENSITIVE)
if(NOT modules STREQUAL expected_modules)
  message(FATAL_ERROR "imports from: ${modules}; expected ${expected_modules}")
endif()

string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([ \t]+\\[[ \t]*[0-9]+\\][^\n]*\n)*)" table "${headers}")
string(REGEX MATCHALL "\\][ \t]+[^ \t\n]+" exports "${CMAKE_MATCH_1}")
if(NOT exports STREQUAL "] _RbGetServiceTable@0")
  message(FATAL_ERROR "exports: '${exports}'; expected only _RbGetServiceTable@0")
endif()

# The stubs: int 20h (CD 20), then the dword 0x0033800n, little-endian, per
# service. The raw bytes are read, not the disassembly, which splits them
# however it likes.
execute_process(COMMAND ${OBJDUMP} -d ${IMAGE} OUTPUT_VARIABLE code)
foreach(pair "CM_Locate_DevNode;02" "CM_Create_DevNode;0b" "CM_Remove_SubTree;0d" "CM_Reenumerate_DevNode;33"
             "CM_Read_Registry_Value;3e" "CM_Write_Registry_Value;3f")
  list(GET pair 0 name)
  list(GET pair 1 service)
  string(REGEX MATCH "([0-9a-f]+) <_${name}>:" found "${code}")
  if(NOT found)
    message(FATAL_ERROR "no stub ${name} in ${IMAGE}")
  endif()
  math(EXPR start "0x${CMAKE_MATCH_1}" OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR stop "0x${CMAKE_MATCH_1} + 6" OUTPUT_FORMAT HEXADECIMAL)
  execute_process(COMMAND ${OBJDUMP} -s --start-address=${start} --stop-address=${stop} ${IMAGE}
                  OUTPUT_VARIABLE dump)
  string(REGEX MATCH "\n [0-9a-f]+ ([0-9a-f]+) ([0-9a-f]+)" line "${dump}")
  set(bytes "${CMAKE_MATCH_1}${CMAKE_MATCH_2}")
  if(NOT bytes STREQUAL "cd20${service}803300")
    message(FATAL_ERROR "stub ${name} holds ${bytes}, not cd20${service}803300 (int 20h, service 0x0033:80${service})")
  endif()
endforeach()
message(STATUS "${IMAGE}: native, exports _RbGetServiceTable@0 only, imports ntoskrnl.exe, hal.dll, usbd.sys; six jump-form stubs")
