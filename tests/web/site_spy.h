// Watches what an OLE object calls on the launcher's site interfaces: the
// interface table of each part is swapped for a copy whose entries record the
// call and then run the real one. Written in C because that is the COM
// binary layout the object sees (one table pointer at the start of each
// interface), the way Wine's own conformance tests drive and watch controls.
#ifndef LAUNCHER_TEST_SITE_SPY_H
#define LAUNCHER_TEST_SITE_SPY_H

#ifdef __cplusplus
extern "C" {
#endif

// The four parts of one site object (IStorage, IOleClientSite,
// IOleInPlaceSite, IOleInPlaceFrame). One object is watched at a time.
void SiteSpyAttach(void* storage, void* clientSite, void* inPlaceSite, void* inPlaceFrame);
// Puts the real tables back.
void SiteSpyDetach(void);

// Recorded calls, oldest first, as "Part.Method" (QueryInterface calls as
// "Part.QueryInterface(IName)", unknown interfaces by their GUID;
// OnPosRectChange as "InPlaceSite.OnPosRectChange(left,top,right,bottom)"), and their
// results ("=0x........" appended).
int SiteSpyCallCount(void);
const char* SiteSpyCall(int index);
void SiteSpyClear(void);

#ifdef __cplusplus
}
#endif

#endif
