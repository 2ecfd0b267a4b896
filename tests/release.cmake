# The release package, from the Linux side: the same bytes from two builds,
# and signing with a throwaway certificate authority.
add_test(NAME release_reproducible_test
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/release/reproducible_test.py
                 ${PROJECT_SOURCE_DIR})
add_test(NAME release_signing_test
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/release/signing_test.py
                 ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
set_tests_properties(release_reproducible_test release_signing_test PROPERTIES TIMEOUT 300)
