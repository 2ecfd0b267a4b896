cmake_minimum_required(VERSION 3.25)
# Configures the program in the scratch folder SCRATCH and compiles only the
# two files that hold the portal's addresses, then reads the addresses out of
# their objects: http by default, https when asked for; any other scheme must
# stop the configuration.
set(host portal.example.test)
set(sources src/web/browser_host src/app/launch_target)
file(REMOVE_RECURSE "${SCRATCH}")

# Configures with the given settings; sets `code` and `log` in the caller.
macro(configure)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${SCRATCH} -G ${GENERATOR}
            -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DLAUNCHER_BUILD_TESTS=OFF
            -DLAUNCHER_PORTAL_HOST=${host} ${ARGN}
    RESULT_VARIABLE code OUTPUT_VARIABLE log ERROR_VARIABLE log)
endmacro()

function(expect_addresses scheme)
  configure(${ARGN})
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "configuration for ${scheme} failed:\n${log}")
  endif()
  list(TRANSFORM sources APPEND .cpp.obj OUTPUT_VARIABLE targets)
  list(TRANSFORM targets PREPEND "${SCRATCH}/CMakeFiles/launcher_core.dir/" OUTPUT_VARIABLE objects)
  file(REMOVE ${objects})
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${SCRATCH} --target ${targets}
                  RESULT_VARIABLE code OUTPUT_VARIABLE log ERROR_VARIABLE log)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "compiling the addresses failed:\n${log}")
  endif()
  set(found)
  foreach(object IN LISTS objects)
    file(STRINGS "${object}" lines REGEX "://")
    foreach(line IN LISTS lines)
      # Bytes before the string in the object can join it.
      string(REGEX MATCH "[a-z]*://.*" address "${line}")
      list(APPEND found "${address}")
    endforeach()
  endforeach()
  set(expected "${scheme}://${host}/?mini=2&gameid=220" "${scheme}://${host}/stats/varnholt.html")
  if(NOT found STREQUAL expected)
    message(FATAL_ERROR "built for ${scheme}, the program holds '${found}', not '${expected}'")
  endif()
endfunction()

expect_addresses(http)
expect_addresses(https -DLAUNCHER_PORTAL_SCHEME=https)

configure(-DLAUNCHER_PORTAL_SCHEME=ftp)
if(code EQUAL 0 OR NOT log MATCHES "LAUNCHER_PORTAL_SCHEME is 'ftp'")
  message(FATAL_ERROR "the scheme ftp did not stop the configuration with its message:\n${log}")
endif()
file(REMOVE_RECURSE "${SCRATCH}")
