#include "web/site_spy.h"

#include <stdio.h>
#include <string.h>

#include <windows.h>
#include <ole2.h>
#include <oleidl.h>
#include <ocidl.h>
#include <docobj.h>
#include <servprov.h>
#include <mshtmhst.h>

enum { kMaxCalls = 1024, kMaxText = 96 };

static char g_calls[kMaxCalls][kMaxText];
static int g_callCount;

static IStorage* g_storage;
static IOleClientSite* g_clientSite;
static IOleInPlaceSite* g_inPlaceSite;
static IOleInPlaceFrame* g_inPlaceFrame;

/* The real tables, and the watching copies installed in their place. */
static IStorageVtbl* g_realStorage;
static IOleClientSiteVtbl* g_realClientSite;
static IOleInPlaceSiteVtbl* g_realInPlaceSite;
static IOleInPlaceFrameVtbl* g_realInPlaceFrame;
static IStorageVtbl g_spyStorage;
static IOleClientSiteVtbl g_spyClientSite;
static IOleInPlaceSiteVtbl g_spyInPlaceSite;
static IOleInPlaceFrameVtbl g_spyInPlaceFrame;

static void Record(const char* call, HRESULT result) {
    if (g_callCount < kMaxCalls) {
        snprintf(g_calls[g_callCount], kMaxText, "%s=0x%08lx", call, (unsigned long)result);
        ++g_callCount;
    }
}

static void NameInterface(REFIID riid, char* name, size_t size) {
    static const struct {
        const IID* iid;
        const char* name;
    } known[] = {
        {&IID_IUnknown, "IUnknown"},
        {&IID_IOleClientSite, "IOleClientSite"},
        {&IID_IOleInPlaceSite, "IOleInPlaceSite"},
        {&IID_IOleInPlaceSiteEx, "IOleInPlaceSiteEx"},
        {&IID_IOleInPlaceSiteWindowless, "IOleInPlaceSiteWindowless"},
        {&IID_IOleInPlaceFrame, "IOleInPlaceFrame"},
        {&IID_IOleContainer, "IOleContainer"},
        {&IID_IOleControlSite, "IOleControlSite"},
        {&IID_IOleCommandTarget, "IOleCommandTarget"},
        {&IID_IServiceProvider, "IServiceProvider"},
        {&IID_IDispatch, "IDispatch"},
        {&IID_IDocHostUIHandler, "IDocHostUIHandler"},
        {&IID_IStorage, "IStorage"},
    };
    size_t i;
    for (i = 0; i < sizeof known / sizeof known[0]; ++i) {
        if (IsEqualIID(riid, known[i].iid)) {
            snprintf(name, size, "%s", known[i].name);
            return;
        }
    }
    {
        WCHAR text[40];
        StringFromGUID2(riid, text, 40);
        WideCharToMultiByte(CP_ACP, 0, text, -1, name, (int)size, NULL, NULL);
    }
}

static HRESULT RecordQuery(const char* part, REFIID riid, HRESULT result) {
    char name[48];
    char call[kMaxText];
    NameInterface(riid, name, sizeof name);
    snprintf(call, sizeof call, "%s.QueryInterface(%s)", part, name);
    Record(call, result);
    return result;
}

/* One watching entry: run the real one, record the call with its result. */
#define SPY(Iface, Part, Type, Method, Params, Args)                                               \
    static Type STDMETHODCALLTYPE Spy##Part##Method Params {                                       \
        Type result = g_real##Part->Method Args;                                                   \
        Record(#Part "." #Method, (HRESULT)result);                                                \
        return result;                                                                             \
    }

/* IStorage */
static HRESULT STDMETHODCALLTYPE SpyStorageQueryInterface(IStorage* This, REFIID riid, void** out) {
    return RecordQuery("Storage", riid, g_realStorage->QueryInterface(This, riid, out));
}
SPY(IStorage, Storage, ULONG, AddRef, (IStorage * This), (This))
SPY(IStorage, Storage, ULONG, Release, (IStorage * This), (This))
SPY(IStorage, Storage, HRESULT, CreateStream,
    (IStorage * This, LPCOLESTR a, DWORD b, DWORD c, DWORD d, IStream** e), (This, a, b, c, d, e))
SPY(IStorage, Storage, HRESULT, OpenStream,
    (IStorage * This, LPCOLESTR a, void* b, DWORD c, DWORD d, IStream** e), (This, a, b, c, d, e))
SPY(IStorage, Storage, HRESULT, CreateStorage,
    (IStorage * This, LPCOLESTR a, DWORD b, DWORD c, DWORD d, IStorage** e), (This, a, b, c, d, e))
SPY(IStorage, Storage, HRESULT, OpenStorage,
    (IStorage * This, LPCOLESTR a, IStorage* b, DWORD c, SNB d, DWORD e, IStorage** f),
    (This, a, b, c, d, e, f))
SPY(IStorage, Storage, HRESULT, CopyTo,
    (IStorage * This, DWORD a, const IID* b, SNB c, IStorage* d), (This, a, b, c, d))
SPY(IStorage, Storage, HRESULT, MoveElementTo,
    (IStorage * This, LPCOLESTR a, IStorage* b, LPCOLESTR c, DWORD d), (This, a, b, c, d))
SPY(IStorage, Storage, HRESULT, Commit, (IStorage * This, DWORD a), (This, a))
SPY(IStorage, Storage, HRESULT, Revert, (IStorage * This), (This))
SPY(IStorage, Storage, HRESULT, EnumElements,
    (IStorage * This, DWORD a, void* b, DWORD c, IEnumSTATSTG** d), (This, a, b, c, d))
SPY(IStorage, Storage, HRESULT, DestroyElement, (IStorage * This, LPCOLESTR a), (This, a))
SPY(IStorage, Storage, HRESULT, RenameElement, (IStorage * This, LPCOLESTR a, LPCOLESTR b),
    (This, a, b))
SPY(IStorage, Storage, HRESULT, SetElementTimes,
    (IStorage * This, LPCOLESTR a, const FILETIME* b, const FILETIME* c, const FILETIME* d),
    (This, a, b, c, d))
SPY(IStorage, Storage, HRESULT, SetClass, (IStorage * This, REFCLSID a), (This, a))
SPY(IStorage, Storage, HRESULT, SetStateBits, (IStorage * This, DWORD a, DWORD b), (This, a, b))
SPY(IStorage, Storage, HRESULT, Stat, (IStorage * This, STATSTG* a, DWORD b), (This, a, b))

/* IOleClientSite */
static HRESULT STDMETHODCALLTYPE SpyClientSiteQueryInterface(IOleClientSite* This, REFIID riid,
                                                             void** out) {
    return RecordQuery("ClientSite", riid, g_realClientSite->QueryInterface(This, riid, out));
}
SPY(IOleClientSite, ClientSite, ULONG, AddRef, (IOleClientSite * This), (This))
SPY(IOleClientSite, ClientSite, ULONG, Release, (IOleClientSite * This), (This))
SPY(IOleClientSite, ClientSite, HRESULT, SaveObject, (IOleClientSite * This), (This))
SPY(IOleClientSite, ClientSite, HRESULT, GetMoniker,
    (IOleClientSite * This, DWORD a, DWORD b, IMoniker** c), (This, a, b, c))
SPY(IOleClientSite, ClientSite, HRESULT, GetContainer, (IOleClientSite * This, IOleContainer** a),
    (This, a))
SPY(IOleClientSite, ClientSite, HRESULT, ShowObject, (IOleClientSite * This), (This))
SPY(IOleClientSite, ClientSite, HRESULT, OnShowWindow, (IOleClientSite * This, BOOL a), (This, a))
SPY(IOleClientSite, ClientSite, HRESULT, RequestNewObjectLayout, (IOleClientSite * This), (This))

/* IOleInPlaceSite */
static HRESULT STDMETHODCALLTYPE SpyInPlaceSiteQueryInterface(IOleInPlaceSite* This, REFIID riid,
                                                              void** out) {
    return RecordQuery("InPlaceSite", riid, g_realInPlaceSite->QueryInterface(This, riid, out));
}
SPY(IOleInPlaceSite, InPlaceSite, ULONG, AddRef, (IOleInPlaceSite * This), (This))
SPY(IOleInPlaceSite, InPlaceSite, ULONG, Release, (IOleInPlaceSite * This), (This))
SPY(IOleInPlaceSite, InPlaceSite, HRESULT, GetWindow, (IOleInPlaceSite * This, HWND* a), (This, a))
SPY(IOleInPlaceSite, InPlaceSite, HRESULT, ContextSensitiveHelp, (IOleInPlaceSite * This, BOOL a),
    (This, a))
SPY(IOleInPlaceSite, InPlaceSite, HRESULT, CanInPlaceActivate, (IOleInPlaceSite * This), (This))
SPY(IOleInPlaceSite, InPlaceSite, HRESULT, OnInPlaceActivate, (IOleInPlaceSite * This), (This))
SPY(IOleInPlaceSite, InPlaceSite, HRESULT, OnUIActivate, (IOleInPlaceSite * This), (This))
SPY(IOleInPlaceSite, InPlaceSite, HRESULT, GetWindowContext,
    (IOleInPlaceSite * This, IOleInPlaceFrame** a, IOleInPlaceUIWindow** b, LPRECT c, LPRECT d,
     LPOLEINPLACEFRAMEINFO e),
    (This, a, b, c, d, e))
SPY(IOleInPlaceSite, InPlaceSite, HRESULT, Scroll, (IOleInPlaceSite * This, SIZE a), (This, a))
SPY(IOleInPlaceSite, InPlaceSite, HRESULT, OnUIDeactivate, (IOleInPlaceSite * This, BOOL a),
    (This, a))
SPY(IOleInPlaceSite, InPlaceSite, HRESULT, OnInPlaceDeactivate, (IOleInPlaceSite * This), (This))
SPY(IOleInPlaceSite, InPlaceSite, HRESULT, DiscardUndoState, (IOleInPlaceSite * This), (This))
SPY(IOleInPlaceSite, InPlaceSite, HRESULT, DeactivateAndUndo, (IOleInPlaceSite * This), (This))
/* Wine's control turns each placement through IWebBrowser2 (put_Left and
   the like) into this request: record the rectangle asked for. */
static HRESULT STDMETHODCALLTYPE SpyInPlaceSiteOnPosRectChange(IOleInPlaceSite* This,
                                                               LPCRECT rect) {
    HRESULT result = g_realInPlaceSite->OnPosRectChange(This, rect);
    char call[kMaxText];
    if (rect)
        snprintf(call, sizeof call, "InPlaceSite.OnPosRectChange(%ld,%ld,%ld,%ld)", rect->left,
                 rect->top, rect->right, rect->bottom);
    else
        snprintf(call, sizeof call, "InPlaceSite.OnPosRectChange(null)");
    Record(call, result);
    return result;
}

/* IOleInPlaceFrame */
static HRESULT STDMETHODCALLTYPE SpyInPlaceFrameQueryInterface(IOleInPlaceFrame* This, REFIID riid,
                                                               void** out) {
    return RecordQuery("InPlaceFrame", riid, g_realInPlaceFrame->QueryInterface(This, riid, out));
}
SPY(IOleInPlaceFrame, InPlaceFrame, ULONG, AddRef, (IOleInPlaceFrame * This), (This))
SPY(IOleInPlaceFrame, InPlaceFrame, ULONG, Release, (IOleInPlaceFrame * This), (This))
SPY(IOleInPlaceFrame, InPlaceFrame, HRESULT, GetWindow, (IOleInPlaceFrame * This, HWND* a),
    (This, a))
SPY(IOleInPlaceFrame, InPlaceFrame, HRESULT, ContextSensitiveHelp,
    (IOleInPlaceFrame * This, BOOL a), (This, a))
SPY(IOleInPlaceFrame, InPlaceFrame, HRESULT, GetBorder, (IOleInPlaceFrame * This, LPRECT a),
    (This, a))
SPY(IOleInPlaceFrame, InPlaceFrame, HRESULT, RequestBorderSpace,
    (IOleInPlaceFrame * This, LPCBORDERWIDTHS a), (This, a))
SPY(IOleInPlaceFrame, InPlaceFrame, HRESULT, SetBorderSpace,
    (IOleInPlaceFrame * This, LPCBORDERWIDTHS a), (This, a))
SPY(IOleInPlaceFrame, InPlaceFrame, HRESULT, SetActiveObject,
    (IOleInPlaceFrame * This, IOleInPlaceActiveObject* a, LPCOLESTR b), (This, a, b))
SPY(IOleInPlaceFrame, InPlaceFrame, HRESULT, InsertMenus,
    (IOleInPlaceFrame * This, HMENU a, LPOLEMENUGROUPWIDTHS b), (This, a, b))
SPY(IOleInPlaceFrame, InPlaceFrame, HRESULT, SetMenu,
    (IOleInPlaceFrame * This, HMENU a, HOLEMENU b, HWND c), (This, a, b, c))
SPY(IOleInPlaceFrame, InPlaceFrame, HRESULT, RemoveMenus, (IOleInPlaceFrame * This, HMENU a),
    (This, a))
SPY(IOleInPlaceFrame, InPlaceFrame, HRESULT, SetStatusText, (IOleInPlaceFrame * This, LPCOLESTR a),
    (This, a))
SPY(IOleInPlaceFrame, InPlaceFrame, HRESULT, EnableModeless, (IOleInPlaceFrame * This, BOOL a),
    (This, a))
SPY(IOleInPlaceFrame, InPlaceFrame, HRESULT, TranslateAccelerator,
    (IOleInPlaceFrame * This, LPMSG a, WORD b), (This, a, b))

#define WATCH(Part, Method) g_spy##Part.Method = Spy##Part##Method

void SiteSpyAttach(void* storage, void* clientSite, void* inPlaceSite, void* inPlaceFrame) {
    SiteSpyDetach();
    g_storage = (IStorage*)storage;
    g_clientSite = (IOleClientSite*)clientSite;
    g_inPlaceSite = (IOleInPlaceSite*)inPlaceSite;
    g_inPlaceFrame = (IOleInPlaceFrame*)inPlaceFrame;

    g_realStorage = g_storage->lpVtbl;
    WATCH(Storage, QueryInterface);
    WATCH(Storage, AddRef);
    WATCH(Storage, Release);
    WATCH(Storage, CreateStream);
    WATCH(Storage, OpenStream);
    WATCH(Storage, CreateStorage);
    WATCH(Storage, OpenStorage);
    WATCH(Storage, CopyTo);
    WATCH(Storage, MoveElementTo);
    WATCH(Storage, Commit);
    WATCH(Storage, Revert);
    WATCH(Storage, EnumElements);
    WATCH(Storage, DestroyElement);
    WATCH(Storage, RenameElement);
    WATCH(Storage, SetElementTimes);
    WATCH(Storage, SetClass);
    WATCH(Storage, SetStateBits);
    WATCH(Storage, Stat);
    g_storage->lpVtbl = &g_spyStorage;

    g_realClientSite = g_clientSite->lpVtbl;
    WATCH(ClientSite, QueryInterface);
    WATCH(ClientSite, AddRef);
    WATCH(ClientSite, Release);
    WATCH(ClientSite, SaveObject);
    WATCH(ClientSite, GetMoniker);
    WATCH(ClientSite, GetContainer);
    WATCH(ClientSite, ShowObject);
    WATCH(ClientSite, OnShowWindow);
    WATCH(ClientSite, RequestNewObjectLayout);
    g_clientSite->lpVtbl = &g_spyClientSite;

    g_realInPlaceSite = g_inPlaceSite->lpVtbl;
    WATCH(InPlaceSite, QueryInterface);
    WATCH(InPlaceSite, AddRef);
    WATCH(InPlaceSite, Release);
    WATCH(InPlaceSite, GetWindow);
    WATCH(InPlaceSite, ContextSensitiveHelp);
    WATCH(InPlaceSite, CanInPlaceActivate);
    WATCH(InPlaceSite, OnInPlaceActivate);
    WATCH(InPlaceSite, OnUIActivate);
    WATCH(InPlaceSite, GetWindowContext);
    WATCH(InPlaceSite, Scroll);
    WATCH(InPlaceSite, OnUIDeactivate);
    WATCH(InPlaceSite, OnInPlaceDeactivate);
    WATCH(InPlaceSite, DiscardUndoState);
    WATCH(InPlaceSite, DeactivateAndUndo);
    WATCH(InPlaceSite, OnPosRectChange);
    g_inPlaceSite->lpVtbl = &g_spyInPlaceSite;

    g_realInPlaceFrame = g_inPlaceFrame->lpVtbl;
    WATCH(InPlaceFrame, QueryInterface);
    WATCH(InPlaceFrame, AddRef);
    WATCH(InPlaceFrame, Release);
    WATCH(InPlaceFrame, GetWindow);
    WATCH(InPlaceFrame, ContextSensitiveHelp);
    WATCH(InPlaceFrame, GetBorder);
    WATCH(InPlaceFrame, RequestBorderSpace);
    WATCH(InPlaceFrame, SetBorderSpace);
    WATCH(InPlaceFrame, SetActiveObject);
    WATCH(InPlaceFrame, InsertMenus);
    WATCH(InPlaceFrame, SetMenu);
    WATCH(InPlaceFrame, RemoveMenus);
    WATCH(InPlaceFrame, SetStatusText);
    WATCH(InPlaceFrame, EnableModeless);
    WATCH(InPlaceFrame, TranslateAccelerator);
    g_inPlaceFrame->lpVtbl = &g_spyInPlaceFrame;

    SiteSpyClear();
}

void SiteSpyDetach(void) {
    if (!g_storage)
        return;
    g_storage->lpVtbl = g_realStorage;
    g_clientSite->lpVtbl = g_realClientSite;
    g_inPlaceSite->lpVtbl = g_realInPlaceSite;
    g_inPlaceFrame->lpVtbl = g_realInPlaceFrame;
    g_storage = NULL;
    g_clientSite = NULL;
    g_inPlaceSite = NULL;
    g_inPlaceFrame = NULL;
}

int SiteSpyCallCount(void) {
    return g_callCount;
}

const char* SiteSpyCall(int index) {
    return index >= 0 && index < g_callCount ? g_calls[index] : "";
}

void SiteSpyClear(void) {
    g_callCount = 0;
}
