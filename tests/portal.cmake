# The publisher's check of the portal's pages (scripts/check-portal.sh), run
# against loopback portals of the tests' own; none needs Wine or the network.
# Each is a python unittest file in portal/, given the source folder.
function(portal_test name timeout)
  add_test(NAME portal_${name}_test
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/portal/${name}_test.py
                   ${PROJECT_SOURCE_DIR})
  set_tests_properties(portal_${name}_test PROPERTIES TIMEOUT ${timeout})
endfunction()

# Every check against good and bad portals (its file keeps the check's name).
add_test(NAME portal_check_test
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/portal/check_portal_test.py
                 ${PROJECT_SOURCE_DIR})
set_tests_properties(portal_check_test PROPERTIES TIMEOUT 420)

# The sandbox that the portal's page code runs in, seen from the host: what
# other loopback hosts, the portal and the host saw (Node 18 is fetched once
# with npm into build/node-cache).
portal_test(sandbox 420)

# What the check fetches for a public portal's page that names the deploying
# machine's loopback or metadata address (as root, in a network namespace of
# its own).
portal_test(network 240)

# The scripts check's lines as a web team reads them: its notes, what IE11
# lacks as a message names it, failures that follow from an earlier script's.
portal_test(lines 120)

# What the scripts and stylesheets checks understand of the code they read,
# and a page with Bootstrap 4's own bundle (fetched once with npm into build/).
portal_test(judging 180)

# The scripts a page adds itself, against a loopback portal of its own.
portal_test(added 240)

# The page run at a remote portal's pace: answers that come late, or never.
portal_test(pace 240)

# The page runs' proxy on its Unix socket: where requests go, and its bounds.
portal_test(proxy 120)

# Places in a webpack bundle given in its sources through its source map, maps
# that cannot be had or read, and the SARIF log checked against its schema
# (fetched once with npm into build/).
portal_test(sourcemap 180)

# The portal's further pages a player can reach from the start page, up to
# --pages, against one loopback portal and a second host it links to.
portal_test(pages 240)

# What IE11 runs that a run hides: code made from text, scripts inside written markup.
portal_test(made 180)
