#include "web/control_spy.h"

#include <stdarg.h>
#include <stdio.h>

#include <ole2.h>
#include <exdisp.h>

enum { kMaxCalls = 512, kMaxText = 200 };

static char g_calls[kMaxCalls][kMaxText];
static int g_callCount;
/* Calls under way on the control: only the outermost ones come from outside. */
static int g_depth;
static int g_refuseWebBrowser;
static void (*g_onCreate)(void);

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

void ControlSpyOnCreate(void (*hook)(void)) {
    g_onCreate = hook;
}

void ControlSpyRefuseWebBrowser(int refuse) {
    g_refuseWebBrowser = refuse;
}

/* A call from outside the control, formatted. */
static void Outer(const char* format, ...) {
    char text[kMaxText];
    va_list arguments;
    if (g_depth != 0)
        return;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    ControlSpyNote(text);
}

/* Runs the real entry; calls the control makes meanwhile are its own. */
#define RUN_REAL(result, Table, Call)                                                              \
    do {                                                                                           \
        ++g_depth;                                                                                 \
        result = g_real##Table->Call;                                                              \
        --g_depth;                                                                                 \
    } while (0)

static const char* Narrow(LPCOLESTR text, char* buffer, int size) {
    if (!text)
        return "(null)";
    WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, size, NULL, NULL);
    return buffer;
}

static unsigned long Address(const void* pointer) {
    return (unsigned long)(ULONG_PTR)pointer;
}

/* IOleObject */
static HRESULT STDMETHODCALLTYPE SpyOleQueryInterface(IOleObject* This, REFIID riid, void** out) {
    HRESULT result;
    WCHAR guid[40];
    char name[48];
    if (g_depth == 0 && g_refuseWebBrowser && IsEqualIID(riid, &IID_IWebBrowser2)) {
        *out = NULL;
        result = E_NOINTERFACE;
    } else {
        RUN_REAL(result, Ole, QueryInterface(This, riid, out));
    }
    StringFromGUID2(riid, guid, 40);
    /* OleSetContainedObject asks for IRunnableObject. */
    Outer("Ole.QueryInterface(%s)=0x%08lx",
          IsEqualIID(riid, &IID_IWebBrowser2)      ? "IWebBrowser2"
          : IsEqualIID(riid, &IID_IRunnableObject) ? "IRunnableObject"
                                                   : Narrow(guid, name, sizeof name),
          (unsigned long)result);
    return result;
}

static ULONG STDMETHODCALLTYPE SpyOleRelease(IOleObject* This) {
    ULONG count;
    RUN_REAL(count, Ole, Release(This));
    Outer("Ole.Release");
    return count;
}

static HRESULT STDMETHODCALLTYPE SpyOleSetClientSite(IOleObject* This, IOleClientSite* site) {
    HRESULT result;
    RUN_REAL(result, Ole, SetClientSite(This, site));
    Outer("Ole.SetClientSite(%08lx)", Address(site));
    return result;
}

static HRESULT STDMETHODCALLTYPE SpyOleSetHostNames(IOleObject* This, LPCOLESTR application,
                                                    LPCOLESTR object) {
    char first[64], second[64];
    HRESULT result;
    RUN_REAL(result, Ole, SetHostNames(This, application, object));
    Outer("Ole.SetHostNames(%s,%s)", Narrow(application, first, 64), Narrow(object, second, 64));
    return result;
}

static HRESULT STDMETHODCALLTYPE SpyOleClose(IOleObject* This, DWORD saveOption) {
    HRESULT result;
    RUN_REAL(result, Ole, Close(This, saveOption));
    Outer("Ole.Close(%lu)", saveOption);
    return result;
}

static HRESULT STDMETHODCALLTYPE SpyOleDoVerb(IOleObject* This, LONG verb, LPMSG message,
                                              IOleClientSite* site, LONG index, HWND parent,
                                              LPCRECT place) {
    HRESULT result;
    RECT seen = {-1, -1, -1, -1};
    if (place)
        seen = *place;
    RUN_REAL(result, Ole, DoVerb(This, verb, message, site, index, parent, place));
    Outer("Ole.DoVerb(%ld,%08lx,%08lx,%ld,%08lx,%ld,%ld,%ld,%ld)", verb, Address(message),
          Address(site), index, Address(parent), seen.left, seen.top, seen.right, seen.bottom);
    return result;
}

/* IWebBrowser2 */
static ULONG STDMETHODCALLTYPE SpyWebRelease(IWebBrowser2* This) {
    ULONG count;
    RUN_REAL(count, Web, Release(This));
    Outer("Web.Release");
    return count;
}

#define SPY_PUT(Method, Type)                                                                      \
    static HRESULT STDMETHODCALLTYPE SpyWeb##Method(IWebBrowser2* This, Type value) {              \
        HRESULT result;                                                                            \
        RUN_REAL(result, Web, Method(This, value));                                                \
        Outer("Web." #Method "(%ld)", (long)value);                                                \
        return result;                                                                             \
    }
SPY_PUT(put_Left, LONG)
SPY_PUT(put_Top, LONG)
SPY_PUT(put_Width, LONG)
SPY_PUT(put_Height, LONG)
SPY_PUT(put_Silent, VARIANT_BOOL)

/* A VARIANT as "type" or "type:text" for a string. */
static const char* Describe(const VARIANT* value, char* buffer, int size) {
    char text[kMaxText];
    if (!value)
        snprintf(buffer, size, "null");
    else if (V_VT(value) == VT_BSTR)
        snprintf(buffer, size, "%d:%s", V_VT(value), Narrow(V_BSTR(value), text, sizeof text));
    else
        snprintf(buffer, size, "%d", V_VT(value));
    return buffer;
}

static HRESULT STDMETHODCALLTYPE SpyWebNavigate2(IWebBrowser2* This, VARIANT* url, VARIANT* flags,
                                                 VARIANT* frame, VARIANT* postData,
                                                 VARIANT* headers) {
    char parts[5][kMaxText / 2];
    HRESULT result;
    Describe(url, parts[0], sizeof parts[0]);
    RUN_REAL(result, Web, Navigate2(This, url, flags, frame, postData, headers));
    Outer("Web.Navigate2(%s,%s,%s,%s,%s)", parts[0], Describe(flags, parts[1], sizeof parts[1]),
          Describe(frame, parts[2], sizeof parts[2]), Describe(postData, parts[3], sizeof parts[3]),
          Describe(headers, parts[4], sizeof parts[4]));
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
    return 2;
}
static HRESULT STDMETHODCALLTYPE FactoryLockServer(IClassFactory* This, BOOL lock) {
    return S_OK;
}

static HRESULT STDMETHODCALLTYPE FactoryCreateInstance(IClassFactory* This, IUnknown* outer,
                                                       REFIID riid, void** out) {
    IUnknown* control = NULL;
    IOleObject* ole = NULL;
    IWebBrowser2* web = NULL;
    HRESULT result;
    *out = NULL;
    if (g_onCreate)
        g_onCreate();
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
