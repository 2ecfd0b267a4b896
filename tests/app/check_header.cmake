cmake_minimum_required(VERSION 3.25)
# Fails unless the image header of EXE makes the promises the README states:
# a relocatable image (ASLR), non-executable data, aware of terminal servers,
# and no structured exception handler in the image.
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT dump MATCHES "DllCharacteristics[ \t]+([0-9a-fA-F]+)")
  message(FATAL_ERROR "objdump could not read the header of ${EXE}")
endif()
math(EXPR bits "0x${CMAKE_MATCH_1}")
message(STATUS "DllCharacteristics 0x${CMAKE_MATCH_1}")
foreach(pair DYNAMIC_BASE:0x40 NX_COMPAT:0x100 NO_SEH:0x400 TERMINAL_SERVER_AWARE:0x8000)
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 name)
  list(GET pair 1 mask)
  math(EXPR set "${bits} & ${mask}")
  if(set EQUAL 0)
    message(FATAL_ERROR "${EXE} does not declare ${name}")
  endif()
endforeach()
