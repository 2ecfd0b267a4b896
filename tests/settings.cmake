# Tests of the settings area: config.cfg read and rewritten on real files.
launcher_add_test(config_file_test settings/config_file_test.cpp)

# Faults during a save: another process holding the file, a process killed
# while it saves, a full disk and a folder where no file can be created (tiny
# filesystems mounted around the test, where the machine allows it).
add_executable(config_saver settings/config_saver.cpp)
target_link_libraries(config_saver PRIVATE launcher_core)
launcher_add_test(config_fault_test settings/config_fault_test.cpp)
target_link_libraries(config_fault_test PRIVATE psapi)
add_dependencies(config_fault_test config_saver)

set(config_fault_fs ${CMAKE_CURRENT_BINARY_DIR}/settings-faultfs)
set(config_fault_fs_script ${CMAKE_CURRENT_SOURCE_DIR}/settings/fault_fs.sh)
add_test(NAME config_fault_fs_mount COMMAND bash ${config_fault_fs_script} mount ${config_fault_fs})
add_test(NAME config_fault_fs_unmount COMMAND bash ${config_fault_fs_script} unmount ${config_fault_fs})
set_tests_properties(config_fault_fs_mount PROPERTIES FIXTURES_SETUP config_fault_fs)
set_tests_properties(config_fault_fs_unmount PROPERTIES FIXTURES_CLEANUP config_fault_fs)
set_tests_properties(config_fault_test PROPERTIES FIXTURES_REQUIRED config_fault_fs)
