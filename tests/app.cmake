# Tests of the launch flow, the launcher window and the resources.
launcher_add_test(launcher_window_test app/launcher_window_test.cpp)
launcher_add_test(launcher_e2e_test app/launcher_e2e_test.cpp)
launcher_add_test(resources_test app/resources_test.cpp)
target_link_libraries(resources_test PRIVATE version)
target_include_directories(resources_test PRIVATE ${PROJECT_BINARY_DIR}/generated)

# Real X input from the Linux side: a click on PLAY and key presses.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME launcher_x_input_test
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/x_input_test.py ${PROJECT_BINARY_DIR})
set_tests_properties(launcher_x_input_test PROPERTIES TIMEOUT 120)
# The shell's http handler is the prefix's own: launcher_e2e_test takes it out
# for a while, and the tests that see pages through it must not run meanwhile.
set_property(TEST launcher_e2e_test launcher_x_input_test APPEND PROPERTY
             RESOURCE_LOCK wineprefix_http_handler)

# The shipped program imports only Windows system DLLs.
add_test(NAME launcher_imports_test
         COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DEXE=$<TARGET_FILE:launcher>
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/app/check_imports.cmake)
# The portal's scheme as a build setting: the addresses compiled by default,
# with https, and a configuration that refuses any other scheme.
add_test(NAME portal_scheme_test
         COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR} -DGENERATOR=${CMAKE_GENERATOR}
                 -DTOOLCHAIN=${CMAKE_TOOLCHAIN_FILE} -DSCRATCH=${CMAKE_CURRENT_BINARY_DIR}/portal_scheme
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/app/check_portal_scheme.cmake)
# The header bits that the shipped program promises Windows.
add_test(NAME launcher_header_test
         COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DEXE=$<TARGET_FILE:launcher>
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/app/check_header.cmake)
launcher_add_test(leak_test app/leak_test.cpp)

# Static analysis of the program's sources (cppcheck, checked-in suppressions).
add_test(NAME static_analysis COMMAND ${PROJECT_SOURCE_DIR}/scripts/static-analysis.sh)

# The launch sequence in this process, its window's ending and its calls on
# the shell and OLE scripted through the program's imports.
launcher_add_test(launch_sequence_test app/launch_sequence_test.cpp)

# DLLs planted in a game folder under system names, and a program that loads
# them by bare name, with or without the launcher's start-up step.
foreach(dll version winmm wininet dinput8)
  add_library(planted_${dll} SHARED app/planted_system_dll.c)
  set_target_properties(planted_${dll} PROPERTIES OUTPUT_NAME ${dll} PREFIX ""
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/planted_system
                        ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/planted_system)
endforeach()
# Built without stack protection, whose runtime imports advapi32: Wine's own
# advapi32 imports version.dll, so that import would bring the planted copy in
# before any of the probe's code runs (on Windows advapi32 is a KnownDLL).
add_executable(dll_probe WIN32 app/dll_probe.cpp ${PROJECT_SOURCE_DIR}/src/app/dll_search.cpp
               ${PROJECT_SOURCE_DIR}/src/common/system_dll.cpp)
target_include_directories(dll_probe PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_options(dll_probe PRIVATE -fno-stack-protector)
launcher_add_test(dll_search_test app/dll_search_test.cpp)
add_dependencies(dll_search_test dll_probe planted_version planted_winmm planted_wininet
                 planted_dinput8)
