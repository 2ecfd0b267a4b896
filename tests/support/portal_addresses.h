// The portal's addresses as the tests expect them, written out from the
// build setting LAUNCHER_PORTAL_HOST that the program is built with.
#ifndef LAUNCHER_TEST_PORTAL_ADDRESSES_H
#define LAUNCHER_TEST_PORTAL_ADDRESSES_H

#define PORTAL_STATS_PAGE_URL "http://" LAUNCHER_PORTAL_HOST "/stats/varnholt.html"

#endif
