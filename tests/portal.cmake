# The publisher's check of the portal's pages (scripts/check-portal.sh), run
# against loopback portals of its own; it needs neither Wine nor the network.
add_test(NAME portal_check_test
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/portal/check_portal_test.py
                 ${PROJECT_SOURCE_DIR})
set_tests_properties(portal_check_test PROPERTIES TIMEOUT 180)
