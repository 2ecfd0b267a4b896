cmake_minimum_required(VERSION 3.25)
# Runs a GoogleTest program inside a Wine virtual desktop, where the display
# adapter offers a fixed list of standard modes instead of the single mode of
# a bare X screen. The desktop takes the X screen's own size, so that the
# screen metrics that later programs of the shared Wine session see stay
# those of the X screen.
#
#   cmake -DWINE=wine -DEXE=path.exe -DDESKTOP=name -P run_in_virtual_desktop.cmake
#
# explorer does not hand on the program's exit code: the verdict comes from
# the program's XML report.
foreach(var WINE EXE DESKTOP)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

execute_process(COMMAND xdpyinfo OUTPUT_VARIABLE info RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT info MATCHES "dimensions: +([0-9]+x[0-9]+) pixels")
  message(FATAL_ERROR "cannot read the X screen's size (is DISPLAY set?)")
endif()
set(size ${CMAKE_MATCH_1})

get_filename_component(dir ${EXE} DIRECTORY)
get_filename_component(name ${EXE} NAME_WE)
set(report ${name}.report.xml)
file(REMOVE ${dir}/${report})

message(STATUS "running ${name} in virtual desktop ${DESKTOP},${size}")
execute_process(COMMAND ${WINE} explorer /desktop=${DESKTOP},${size} ${EXE}
                        --gtest_output=xml:${report}
                WORKING_DIRECTORY ${dir} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "explorer ended with ${status}")
endif()
if(NOT EXISTS ${dir}/${report})
  message(FATAL_ERROR "${name} wrote no report: it did not start or it crashed")
endif()
file(READ ${dir}/${report} xml)
if(NOT xml MATCHES "<testsuites tests=\"([0-9]+)\" failures=\"([0-9]+)\" disabled=\"[0-9]+\" errors=\"([0-9]+)\"")
  message(FATAL_ERROR "cannot read the report ${report}")
endif()
if(CMAKE_MATCH_1 EQUAL 0 OR NOT CMAKE_MATCH_2 EQUAL 0 OR NOT CMAKE_MATCH_3 EQUAL 0)
  message(FATAL_ERROR "${name}: ${CMAKE_MATCH_1} tests, ${CMAKE_MATCH_2} failures, ${CMAKE_MATCH_3} errors")
endif()
