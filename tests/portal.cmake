# The publisher's check of the portal's pages (scripts/check-portal.sh), run
# against loopback portals of its own; it needs neither Wine nor the network.
add_test(NAME portal_check_test
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/portal/check_portal_test.py
                 ${PROJECT_SOURCE_DIR})
set_tests_properties(portal_check_test PROPERTIES TIMEOUT 420)

# The sandbox that the portal's page code runs in, seen from the host: what
# other loopback hosts, the portal and the host saw (Node 18 is fetched once
# with npm into build/node-cache).
add_test(NAME portal_sandbox_test
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/portal/sandbox_test.py
                 ${PROJECT_SOURCE_DIR})
set_tests_properties(portal_sandbox_test PROPERTIES TIMEOUT 300)

# The page run at a remote portal's pace: answers that come late, or never.
add_test(NAME portal_pace_test
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/portal/pace_test.py
                 ${PROJECT_SOURCE_DIR})
set_tests_properties(portal_pace_test PROPERTIES TIMEOUT 240)
