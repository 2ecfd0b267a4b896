# Tests of the launch flow, the launcher window and the resources.
launcher_add_test(launcher_window_test app/launcher_window_test.cpp)
launcher_add_test(launcher_e2e_test app/launcher_e2e_test.cpp)
launcher_add_test(resources_test app/resources_test.cpp)
target_link_libraries(resources_test PRIVATE version)
target_include_directories(resources_test PRIVATE ${PROJECT_BINARY_DIR}/generated)
