# Tests of the options area: the display-mode catalogue and the Options dialog.
launcher_add_test(display_modes_test options/display_modes_test.cpp)
launcher_add_test(options_dialog_test options/options_dialog_test.cpp)

# Programs that need the modes of a Wine virtual desktop run inside one.
function(options_add_desktop_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE launcher_core launcher_resources test_support gtest_main)
  add_dependencies(${name} launcher stub_target url_recorder)
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -DWINE=${CMAKE_CROSSCOMPILING_EMULATOR}
                   -DEXE=$<TARGET_FILE:${name}> -DDESKTOP=${name}
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/options/run_in_virtual_desktop.cmake)
  set_tests_properties(${name} PROPERTIES TIMEOUT 120)
endfunction()

options_add_desktop_test(display_modes_system_test options/display_modes_system_test.cpp)
