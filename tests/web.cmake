# Tests of the web area.

# The site object's interface tables and reference counting.
launcher_add_test(browser_host_test web/browser_host_test.cpp)
# The locks on the portal page, in a process of their own.
launcher_add_test(browser_locks_test web/browser_locks_test.cpp)
target_link_libraries(browser_locks_test PRIVATE urlmon)
# That program holds urlmon itself: the real launcher.exe, from Wine's loader
# trace, keeps it loaded from the locks to the control. Its portal is a closed
# port and it is ended before it could open a page, so it shares nothing.
add_test(NAME browser_locks_trace_test
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/urlmon_trace_test.py
                 ${PROJECT_BINARY_DIR})
set_tests_properties(browser_locks_trace_test PROPERTIES TIMEOUT 60)

# A copy of the program whose portal is a loopback server of the tests, so that
# the tests see the control's requests without any traffic leaving the
# machine. The port is fixed per build folder, so that builds in other folders
# on the same machine do not collide.
string(MD5 _loopback_hash "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${_loopback_hash}" 0 4 _loopback_hex)
math(EXPR _loopback_port "0x${_loopback_hex} % 10000 + 41000")
set(LAUNCHER_TEST_PORTAL_PORT ${_loopback_port} CACHE STRING
    "Port of the tests' loopback portal (launcher_loopback.exe and its tests)")

get_target_property(_core_sources launcher_core SOURCES)
set(_loopback_sources)
foreach(_source IN LISTS _core_sources)
  if(IS_ABSOLUTE "${_source}")
    list(APPEND _loopback_sources "${_source}")
  else()
    list(APPEND _loopback_sources "${PROJECT_SOURCE_DIR}/${_source}")
  endif()
endforeach()
get_target_property(_core_includes launcher_core INCLUDE_DIRECTORIES)
get_target_property(_core_definitions launcher_core COMPILE_DEFINITIONS)
# Only the host changes: the scheme and everything else stay the program's.
list(FILTER _core_definitions EXCLUDE REGEX "^LAUNCHER_PORTAL_HOST=")
get_target_property(_core_libraries launcher_core LINK_LIBRARIES)

add_library(launcher_loopback_core STATIC ${_loopback_sources})
target_include_directories(launcher_loopback_core PUBLIC ${_core_includes})
target_compile_definitions(launcher_loopback_core PUBLIC ${_core_definitions}
  LAUNCHER_PORTAL_HOST="127.0.0.1:${LAUNCHER_TEST_PORTAL_PORT}")
target_link_libraries(launcher_loopback_core PUBLIC ${_core_libraries})

add_executable(launcher_loopback WIN32 ${PROJECT_SOURCE_DIR}/src/app/main.cpp)
target_link_libraries(launcher_loopback PRIVATE launcher_loopback_core launcher_resources)

# The shared test helpers again, linked against the loopback copy instead of
# the program's own library, with the web area's own helpers.
get_target_property(_support_sources test_support SOURCES)
add_library(web_test_support STATIC ${_support_sources}
  web/loopback_http_server.cpp web/site_spy.c)
target_include_directories(web_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(web_test_support PUBLIC launcher_loopback_core gtest ws2_32)

# web_add_test(NAME source...): a test program built on the loopback copy.
function(web_add_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE launcher_loopback_core launcher_resources
    web_test_support gtest_main)
  target_compile_definitions(${name} PRIVATE
    LOOPBACK_PORTAL_PORT=${LAUNCHER_TEST_PORTAL_PORT})
  add_dependencies(${name} launcher_loopback stub_target url_recorder)
  add_test(NAME ${name} COMMAND ${name})
  # Both listen on the loopback portal's port.
  set_tests_properties(${name} PROPERTIES TIMEOUT 120 RESOURCE_LOCK loopback_portal)
endfunction()

# The real control in a real placeholder, creation, navigation and teardown.
web_add_test(browser_control_test web/browser_control_test.cpp)
# launcher_loopback.exe run as the player runs it.
web_add_test(browser_e2e_test web/browser_e2e_test.cpp)
# It sees the statistics page through the prefix's http handler (app.cmake).
set_property(TEST browser_e2e_test APPEND PROPERTY RESOURCE_LOCK wineprefix_http_handler)
