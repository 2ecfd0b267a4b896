# Tests of the launch flow, the launcher window and the resources.
launcher_add_test(launcher_window_test app/launcher_window_test.cpp)
launcher_add_test(launcher_e2e_test app/launcher_e2e_test.cpp)
