#include "web/control_spy.h"

#include <stdio.h>

#include <ole2.h>
#include <exdisp.h>

enum { kMaxCalls = 512, kMaxText = 200 };

static char g_calls[kMaxCalls][kMaxText];
static int g_callCount;
/* Calls under way on the control: only the outermost ones come from outside. */
static int g_depth;
static int g_refuseWebBrowser;

static IClassFactory* g_realFactory;
static IOleObjectVtbl* g_realOle;
static IWebBrowser2Vtbl* g_realWeb;
static IOleObjectVtbl g_spyOle;
static IWebBrowser2Vtbl g_spyWeb;

void ControlSpyNote(const char* text) {
    if (g_callCount < kMaxCalls)
        snprintf(g_calls[g_callCount++], kMaxText, "%s", text);
}

int ControlSpyCallCount(void) {
    return g_callCount;
}

const char* ControlSpyCall(int index) {
    return index >= 0 && index < g_callCount ? g_calls[index] : "";
}

void ControlSpyClear(void) {
    g_callCount = 0;
}

void ControlSpyRefuseWebBrowser(int refuse) {
    g_refuseWebBrowser = refuse;
}

static void Outer(const char* text) {
    if (g_depth == 0)
        ControlSpyNote(text);
}

static const char* Narrow(LPCOLESTR text, char* buffer, int size) {
    if (!text)
        return "(null)";
    WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, size, NULL, NULL);
    return buffer;
}

/* OleSetContainedObject reaches the control through this interface. */
static HRESULT STDMETHODCALLTYPE RunnableQueryInterface(IRunnableObject* This, REFIID riid,
                                                        void** out) {
    (void)riid;
    *out = This;
    return S_OK;
}
static ULONG STDMETHODCALLTYPE RunnableAddRef(IRunnableObject* This) {
    (void)This;
    return 1;
}
static HRESULT STDMETHODCALLTYPE RunnableGetRunningClass(IRunnableObject* This, LPCLSID clsid) {
    (void)This;
    (void)clsid;
    return E_NOTIMPL;
}
static HRESULT STDMETHODCALLTYPE RunnableRun(IRunnableObject* This, LPBINDCTX context) {
    (void)This;
    (void)context;
    return S_OK;
}
static BOOL STDMETHODCALLTYPE RunnableIsRunning(IRunnableObject* This) {
    (void)This;
    return TRUE;
}
static HRESULT STDMETHODCALLTYPE RunnableLockRunning(IRunnableObject* This, BOOL lock, BOOL last) {
    (void)This;
    (void)lock;
    (void)last;
    return S_OK;
}
static HRESULT STDMETHODCALLTYPE RunnableSetContainedObject(IRunnableObject* This, BOOL contained) {
    char text[64];
    (void)This;
    snprintf(text, sizeof text, "Runnable.SetContainedObject(%d)", contained);
    ControlSpyNote(text);
    return S_OK;
}
static IRunnableObjectVtbl g_runnableTable = {RunnableQueryInterface,
                                              RunnableAddRef,
                                              RunnableAddRef,
                                              RunnableGetRunningClass,
                                              RunnableRun,
                                              RunnableIsRunning,
                                              RunnableLockRunning,
                                              RunnableSetContainedObject};
static IRunnableObject g_runnable = {&g_runnableTable};

/* IOleObject */
static HRESULT STDMETHODCALLTYPE SpyOleQueryInterface(IOleObject* This, REFIID riid, void** out) {
    HRESULT result;
    char text[kMaxText], name[48] = "";
    if (g_depth == 0 && IsEqualIID(riid, &IID_IRunnableObject)) {
        *out = &g_runnable;
        ControlSpyNote("Ole.QueryInterface(IRunnableObject)=0x00000000");
        return S_OK;
    }
    if (g_depth == 0 && g_refuseWebBrowser && IsEqualIID(riid, &IID_IWebBrowser2)) {
        *out = NULL;
        result = E_NOINTERFACE;
    } else {
        ++g_depth;
        result = g_realOle->QueryInterface(This, riid, out);
        --g_depth;
    }
    if (IsEqualIID(riid, &IID_IWebBrowser2)) {
        snprintf(name, sizeof name, "IWebBrowser2");
    } else {
        WCHAR guid[40];
        StringFromGUID2(riid, guid, 40);
        Narrow(guid, name, sizeof name);
    }
    snprintf(text, sizeof text, "Ole.QueryInterface(%s)=0x%08lx", name, (unsigned long)result);
    Outer(text);
    return result;
}

static ULONG STDMETHODCALLTYPE SpyOleRelease(IOleObject* This) {
    char text[32];
    ULONG count;
    ++g_depth;
    count = g_realOle->Release(This);
    --g_depth;
    snprintf(text, sizeof text, "Ole.Release=%lu", count);
    Outer(text);
    return count;
}

static HRESULT STDMETHODCALLTYPE SpyOleSetClientSite(IOleObject* This, IOleClientSite* site) {
    char text[64];
    HRESULT result;
    ++g_depth;
    result = g_realOle->SetClientSite(This, site);
    --g_depth;
    snprintf(text, sizeof text, "Ole.SetClientSite(%08lx)", (unsigned long)(ULONG_PTR)site);
    Outer(text);
    return result;
}

static HRESULT STDMETHODCALLTYPE SpyOleSetHostNames(IOleObject* This, LPCOLESTR application,
                                                    LPCOLESTR object) {
    char text[kMaxText], first[64], second[64];
    HRESULT result;
    ++g_depth;
    result = g_realOle->SetHostNames(This, application, object);
    --g_depth;
    snprintf(text, sizeof text, "Ole.SetHostNames(%s,%s)", Narrow(application, first, 64),
             Narrow(object, second, 64));
    Outer(text);
    return result;
}

static HRESULT STDMETHODCALLTYPE SpyOleClose(IOleObject* This, DWORD saveOption) {
    char text[32];
    HRESULT result;
    ++g_depth;
    result = g_realOle->Close(This, saveOption);
    --g_depth;
    snprintf(text, sizeof text, "Ole.Close(%lu)", saveOption);
    Outer(text);
    return result;
}

static HRESULT STDMETHODCALLTYPE SpyOleDoVerb(IOleObject* This, LONG verb, LPMSG message,
                                              IOleClientSite* site, LONG index, HWND parent,
                                              LPCRECT place) {
    char text[kMaxText];
    HRESULT result;
    RECT seen = {-1, -1, -1, -1};
    if (place)
        seen = *place;
    ++g_depth;
    result = g_realOle->DoVerb(This, verb, message, site, index, parent, place);
    --g_depth;
    snprintf(text, sizeof text, "Ole.DoVerb(%ld,%08lx,%08lx,%ld,%08lx,%ld,%ld,%ld,%ld)", verb,
             (unsigned long)(ULONG_PTR)message, (unsigned long)(ULONG_PTR)site, index,
             (unsigned long)(ULONG_PTR)parent, seen.left, seen.top, seen.right, seen.bottom);
    Outer(text);
    return result;
}

/* IWebBrowser2 */
static ULONG STDMETHODCALLTYPE SpyWebRelease(IWebBrowser2* This) {
    ULONG count;
    ++g_depth;
    count = g_realWeb->Release(This);
    --g_depth;
    Outer("Web.Release");
    return count;
}

#define SPY_PUT(Method, Type)                                                                      \
    static HRESULT STDMETHODCALLTYPE SpyWeb##Method(IWebBrowser2* This, Type value) {              \
        char text[48];                                                                             \
        HRESULT result;                                                                            \
        ++g_depth;                                                                                 \
        result = g_realWeb->Method(This, value);                                                   \
        --g_depth;                                                                                 \
        snprintf(text, sizeof text, "Web." #Method "(%ld)", (long)value);                          \
        Outer(text);                                                                               \
        return result;                                                                             \
    }
SPY_PUT(put_Left, LONG)
SPY_PUT(put_Top, LONG)
SPY_PUT(put_Width, LONG)
SPY_PUT(put_Height, LONG)
SPY_PUT(put_Silent, VARIANT_BOOL)

/* A VARIANT as "type" or "type:text" for a string. */
static void Describe(const VARIANT* value, char* buffer, int size) {
    char text[kMaxText];
    if (!value)
        snprintf(buffer, size, "null");
    else if (V_VT(value) == VT_BSTR)
        snprintf(buffer, size, "%d:%s", V_VT(value), Narrow(V_BSTR(value), text, sizeof text));
    else
        snprintf(buffer, size, "%d", V_VT(value));
}

static HRESULT STDMETHODCALLTYPE SpyWebNavigate2(IWebBrowser2* This, VARIANT* url, VARIANT* flags,
                                                 VARIANT* frame, VARIANT* postData,
                                                 VARIANT* headers) {
    char text[kMaxText], parts[5][kMaxText / 2];
    HRESULT result;
    Describe(url, parts[0], sizeof parts[0]);
    Describe(flags, parts[1], sizeof parts[1]);
    Describe(frame, parts[2], sizeof parts[2]);
    Describe(postData, parts[3], sizeof parts[3]);
    Describe(headers, parts[4], sizeof parts[4]);
    ++g_depth;
    result = g_realWeb->Navigate2(This, url, flags, frame, postData, headers);
    --g_depth;
    snprintf(text, sizeof text, "Web.Navigate2(%s,%s,%s,%s,%s)", parts[0], parts[1], parts[2],
             parts[3], parts[4]);
    Outer(text);
    return result;
}

/* The class: the real control, watched. */
static HRESULT STDMETHODCALLTYPE FactoryQueryInterface(IClassFactory* This, REFIID riid,
                                                       void** out) {
    if (IsEqualIID(riid, &IID_IUnknown) || IsEqualIID(riid, &IID_IClassFactory)) {
        *out = This;
        return S_OK;
    }
    *out = NULL;
    return E_NOINTERFACE;
}
static ULONG STDMETHODCALLTYPE FactoryAddRef(IClassFactory* This) {
    (void)This;
    return 2;
}
static HRESULT STDMETHODCALLTYPE FactoryLockServer(IClassFactory* This, BOOL lock) {
    (void)This;
    (void)lock;
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE FactoryCreateInstance(IClassFactory* This, IUnknown* outer,
                                                       REFIID riid, void** out) {
    IUnknown* control = NULL;
    IOleObject* ole = NULL;
    IWebBrowser2* web = NULL;
    HRESULT result;
    (void)This;
    *out = NULL;
    result = g_realFactory->lpVtbl->CreateInstance(g_realFactory, outer, &IID_IUnknown,
                                                   (void**)&control);
    if (FAILED(result))
        return result;
    if (SUCCEEDED(control->lpVtbl->QueryInterface(control, &IID_IOleObject, (void**)&ole)) &&
        SUCCEEDED(control->lpVtbl->QueryInterface(control, &IID_IWebBrowser2, (void**)&web))) {
        g_realOle = ole->lpVtbl;
        g_realWeb = web->lpVtbl;
        g_spyOle = *g_realOle;
        g_spyOle.QueryInterface = SpyOleQueryInterface;
        g_spyOle.Release = SpyOleRelease;
        g_spyOle.SetClientSite = SpyOleSetClientSite;
        g_spyOle.SetHostNames = SpyOleSetHostNames;
        g_spyOle.Close = SpyOleClose;
        g_spyOle.DoVerb = SpyOleDoVerb;
        g_spyWeb = *g_realWeb;
        g_spyWeb.Release = SpyWebRelease;
        g_spyWeb.put_Left = SpyWebput_Left;
        g_spyWeb.put_Top = SpyWebput_Top;
        g_spyWeb.put_Width = SpyWebput_Width;
        g_spyWeb.put_Height = SpyWebput_Height;
        g_spyWeb.put_Silent = SpyWebput_Silent;
        g_spyWeb.Navigate2 = SpyWebNavigate2;
        g_realOle->Release(ole);
        g_realWeb->Release(web);
        ole->lpVtbl = &g_spyOle;
        web->lpVtbl = &g_spyWeb;
        result = control->lpVtbl->QueryInterface(control, riid, out);
    } else {
        if (ole)
            ole->lpVtbl->Release(ole);
        result = E_FAIL;
    }
    control->lpVtbl->Release(control);
    return result;
}

static IClassFactoryVtbl g_factoryTable = {FactoryQueryInterface, FactoryAddRef, FactoryAddRef,
                                           FactoryCreateInstance, FactoryLockServer};
static IClassFactory g_factory = {&g_factoryTable};

DWORD ControlSpyRegister(REFCLSID asClass) {
    DWORD cookie = 0;
    if (!g_realFactory && FAILED(CoGetClassObject(&CLSID_WebBrowser, CLSCTX_INPROC_SERVER, NULL,
                                                  &IID_IClassFactory, (void**)&g_realFactory)))
        return 0;
    if (FAILED(CoRegisterClassObject(asClass, (IUnknown*)&g_factory, CLSCTX_INPROC_SERVER,
                                     REGCLS_MULTIPLEUSE, &cookie)))
        return 0;
    return cookie;
}

void ControlSpyRevoke(DWORD cookie) {
    if (cookie)
        CoRevokeClassObject(cookie);
    if (g_realFactory)
        g_realFactory->lpVtbl->Release(g_realFactory);
    g_realFactory = NULL;
}
