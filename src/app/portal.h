// Addresses on the publisher's portal. The host is a build setting
// (LAUNCHER_PORTAL_HOST); nothing is read at run time.
#ifndef LAUNCHER_PORTAL_H
#define LAUNCHER_PORTAL_H

#ifndef LAUNCHER_PORTAL_HOST
#error "LAUNCHER_PORTAL_HOST must be defined by the build"
#endif

#define PORTAL_START_PAGE_URL "http://" LAUNCHER_PORTAL_HOST "/?mini=2&gameid=220"
#define PORTAL_STATS_PAGE_URL "http://" LAUNCHER_PORTAL_HOST "/stats/varnholt.html"

#endif
