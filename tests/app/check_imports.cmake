cmake_minimum_required(VERSION 3.25)
# Fails unless every DLL that EXE imports is a Windows system DLL: the C and
# C++ runtimes must be linked in, and Direct3D is loaded at run time from the
# system folder, never from the game folder through the import table.
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${EXE}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${dump}")
set(allowed kernel32.dll user32.dll gdi32.dll shell32.dll ole32.dll oleaut32.dll msvcrt.dll
            advapi32.dll)
if(NOT lines)
  message(FATAL_ERROR "no imports found in ${EXE}")
endif()
foreach(line IN LISTS lines)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  message(STATUS "imports ${dll}")
  if(NOT dll IN_LIST allowed)
    message(FATAL_ERROR "${EXE} imports ${dll}, which is not a Windows system DLL the launcher may use")
  endif()
endforeach()
