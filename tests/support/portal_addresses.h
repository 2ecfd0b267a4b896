// The portal's addresses as the tests expect them, written out from the
// build settings LAUNCHER_PORTAL_SCHEME and LAUNCHER_PORTAL_HOST that the
// program is built with.
#ifndef LAUNCHER_TEST_PORTAL_ADDRESSES_H
#define LAUNCHER_TEST_PORTAL_ADDRESSES_H

#define PORTAL_STATS_PAGE_URL                                                                      \
    LAUNCHER_PORTAL_SCHEME "://" LAUNCHER_PORTAL_HOST "/stats/varnholt.html"

#endif
