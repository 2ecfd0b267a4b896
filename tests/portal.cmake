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

# What the check fetches for a public portal's page that names the deploying
# machine's loopback or metadata address (as root, in a network namespace of
# its own).
add_test(NAME portal_network_test
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/portal/network_test.py
                 ${PROJECT_SOURCE_DIR})
set_tests_properties(portal_network_test PROPERTIES TIMEOUT 240)

# The scripts check's lines as a web team reads them: its notes, what IE11
# lacks as a message names it, failures that follow from an earlier script's.
add_test(NAME portal_lines_test
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/portal/lines_test.py
                 ${PROJECT_SOURCE_DIR})
set_tests_properties(portal_lines_test PROPERTIES TIMEOUT 120)

# What the scripts and stylesheets checks understand of the code they read,
# and a page with Bootstrap 4's own bundle (fetched once with npm into build/).
add_test(NAME portal_judging_test
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/portal/judging_test.py
                 ${PROJECT_SOURCE_DIR})
set_tests_properties(portal_judging_test PROPERTIES TIMEOUT 180)

# The scripts a page adds itself, against a loopback portal of its own.
add_test(NAME portal_added_test
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/portal/added_test.py
                 ${PROJECT_SOURCE_DIR})
set_tests_properties(portal_added_test PROPERTIES TIMEOUT 240)

# The page run at a remote portal's pace: answers that come late, or never.
add_test(NAME portal_pace_test
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/portal/pace_test.py
                 ${PROJECT_SOURCE_DIR})
set_tests_properties(portal_pace_test PROPERTIES TIMEOUT 240)
