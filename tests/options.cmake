# Tests of the options area: the display-mode catalogue and the Options dialog.
launcher_add_test(display_modes_test options/display_modes_test.cpp)
launcher_add_test(options_dialog_test options/options_dialog_test.cpp)

# Programs that need the modes of a Wine virtual desktop run inside one.
function(options_add_desktop_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE launcher_core launcher_resources test_support gtest_main)
  add_dependencies(${name} launcher stub_target url_recorder unix_shell)
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -DWINE=${CMAKE_CROSSCOMPILING_EMULATOR}
                   -DEXE=$<TARGET_FILE:${name}> -DDESKTOP=${name}
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/options/run_in_virtual_desktop.cmake)
  set_tests_properties(${name} PROPERTIES TIMEOUT 120)
endfunction()

options_add_desktop_test(display_modes_system_test options/display_modes_system_test.cpp)
options_add_desktop_test(options_e2e_test options/options_e2e_test.cpp)

# A d3d9.dll planted in the game folder, and a program that imports d3d9.dll
# the ordinary way to show that the folder's copy is what such a program gets.
# Kept in a folder of their own, away from the test programs.
add_library(planted_d3d9 SHARED options/planted_d3d9.c)
set_target_properties(planted_d3d9 PROPERTIES OUTPUT_NAME d3d9 PREFIX ""
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/planted)
target_link_options(planted_d3d9 PRIVATE -Wl,--kill-at)
add_executable(d3d9_importer WIN32 options/d3d9_importer.c)
target_link_libraries(d3d9_importer PRIVATE d3d9)
set_target_properties(d3d9_importer PROPERTIES
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/planted)
add_dependencies(options_e2e_test planted_d3d9 d3d9_importer)
