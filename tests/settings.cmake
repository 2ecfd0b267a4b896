# Tests of the settings area: config.cfg read and rewritten on real files.
launcher_add_test(config_file_test settings/config_file_test.cpp)
