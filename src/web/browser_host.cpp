#include "web/browser_host.h"

#include <exdisp.h>
#include <string.h>

// The portal's start page; the scheme and the host are build settings.
#define PORTAL_START_PAGE_URL                                                                      \
    LAUNCHER_PORTAL_SCHEME "://" LAUNCHER_PORTAL_HOST "/?mini=2&gameid=220"

// ---------------------------------------------------------------------------
// RefCountedBase

RefCountedBase::RefCountedBase() : hostWindow_(NULL), refCount_(1) {}

RefCountedBase::~RefCountedBase() {}

LONG RefCountedBase::AddRef() {
    return refCount_++;
}

LONG RefCountedBase::Release() {
    LONG count = --refCount_;
    if (count == 0)
        delete this;
    return count;
}

// ---------------------------------------------------------------------------
// BrowserHost

BrowserHost::BrowserHost() : browser_(NULL) {
    storage_.owner = this;
    clientSite_.owner = this;
    inPlaceSite_.owner = this;
    inPlaceFrame_.owner = this;
}

// The control has been closed and released before the last Release.
BrowserHost::~BrowserHost() {}

HRESULT BrowserHost::QuerySite(REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    // The client site stands for the object's identity (IUnknown); the
    // control finds the in-place site through it.
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOleClientSite)) {
        *object = static_cast<IOleClientSite*>(&clientSite_);
        return S_OK;
    }
    if (IsEqualIID(riid, IID_IOleInPlaceSite)) {
        *object = static_cast<IOleInPlaceSite*>(&inPlaceSite_);
        return S_OK;
    }
    *object = NULL;
    return E_NOINTERFACE;
}

namespace {

// The start page as the control wants it: UTF-16 from the ANSI code page.
BSTR MakeUrlString(const char* url) {
    int length = static_cast<int>(strlen(url));
    WCHAR* buffer = new WCHAR[length + 1]();
    MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, url, -1, buffer, length + 1);
    BSTR result = SysAllocString(buffer);
    delete[] buffer;
    return result;
}

// Navigates to the address held by the VT_BSTR target, with no flags,
// target frame name, post data or headers.
void Navigate(IWebBrowser2* web, VARIANT* target) {
    VARIANT none[4];
    for (int i = 0; i < 4; ++i)
        VariantInit(&none[i]);
    web->Navigate2(target, &none[0], &none[1], &none[2], &none[3]);
}

} // namespace

void BrowserHost::CreateBrowser(HWND hostWindow) {
    CreateBrowser(hostWindow, CLSID_WebBrowser, PORTAL_START_PAGE_URL);
}

void BrowserHost::CreateBrowser(HWND hostWindow, REFCLSID controlClass, const char* url) {
    hostWindow_ = hostWindow;
    void* created = NULL;
    HRESULT result = OleCreate(controlClass, IID_IOleObject, OLERENDER_DRAW, NULL, &clientSite_,
                               &storage_, &created);
    // Without a control (no OLE, no such class) the black placeholder stays.
    if (FAILED(result) || !created)
        return;
    browser_ = static_cast<IOleObject*>(created);

    browser_->SetHostNames(L"Web Host", L"Web View");
    OleSetContainedObject(browser_, TRUE);

    RECT client = {0, 0, 0, 0};
    GetClientRect(hostWindow, &client);
    browser_->DoVerb(OLEIVERB_SHOW, NULL, &clientSite_, -1, hostWindow, &client);

    IWebBrowser2* web = NULL;
    if (FAILED(browser_->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&web))) || !web)
        return;
    // Left to itself the control raises its own modal dialogs over the
    // launcher (a script error on the page, a security or credential prompt),
    // and PLAY stays dead until the player dismisses them. Silence it before
    // it loads anything.
    web->put_Silent(VARIANT_TRUE);
    VARIANT target;
    VariantInit(&target);
    target.bstrVal = MakeUrlString(url);
    if (target.bstrVal)
        target.vt = VT_BSTR;
    // The page keeps the size of the frame: the launcher window is never
    // resized.
    web->put_Left(0);
    web->put_Top(0);
    web->put_Width(client.right);
    web->put_Height(client.bottom);
    if (target.vt == VT_BSTR)
        Navigate(web, &target);
    VariantClear(&target);
    web->Release();
}

void BrowserHost::CloseBrowser() {
    if (!browser_)
        return;
    browser_->Close(OLECLOSE_NOSAVE);
    // A download still under way holds the control past its last Release
    // here, and the control keeps the client site until it dies. The site is
    // freed right after this, so take it back from the control now.
    browser_->SetClientSite(NULL);
    browser_->Release();
    browser_ = NULL;
}

// ---------------------------------------------------------------------------
// IStorage: the control is never saved, so the storage holds nothing.

STDMETHODIMP BrowserHost::Storage::QueryInterface(REFIID, void**) {
    return E_NOTIMPL;
}
STDMETHODIMP_(ULONG) BrowserHost::Storage::AddRef() {
    return 1;
}
STDMETHODIMP_(ULONG) BrowserHost::Storage::Release() {
    return 1;
}
STDMETHODIMP BrowserHost::Storage::CreateStream(LPCOLESTR, DWORD, DWORD, DWORD, IStream**) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::Storage::OpenStream(LPCOLESTR, void*, DWORD, DWORD, IStream**) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::Storage::CreateStorage(LPCOLESTR, DWORD, DWORD, DWORD, IStorage**) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::Storage::OpenStorage(LPCOLESTR, IStorage*, DWORD, SNB, DWORD,
                                               IStorage**) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::Storage::CopyTo(DWORD, const IID*, SNB, IStorage*) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::Storage::MoveElementTo(LPCOLESTR, IStorage*, LPCOLESTR, DWORD) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::Storage::Commit(DWORD) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::Storage::Revert() {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::Storage::EnumElements(DWORD, void*, DWORD, IEnumSTATSTG**) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::Storage::DestroyElement(LPCOLESTR) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::Storage::RenameElement(LPCOLESTR, LPCOLESTR) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::Storage::SetElementTimes(LPCOLESTR, const FILETIME*, const FILETIME*,
                                                   const FILETIME*) {
    return E_NOTIMPL;
}
// OleCreate stamps the control's class on its storage; accept and forget it.
STDMETHODIMP BrowserHost::Storage::SetClass(REFCLSID) {
    return S_OK;
}
STDMETHODIMP BrowserHost::Storage::SetStateBits(DWORD, DWORD) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::Storage::Stat(STATSTG*, DWORD) {
    return E_NOTIMPL;
}

// ---------------------------------------------------------------------------
// IOleClientSite

STDMETHODIMP BrowserHost::ClientSite::QueryInterface(REFIID riid, void** object) {
    return owner->QuerySite(riid, object);
}
STDMETHODIMP_(ULONG) BrowserHost::ClientSite::AddRef() {
    return 1;
}
STDMETHODIMP_(ULONG) BrowserHost::ClientSite::Release() {
    return 1;
}
STDMETHODIMP BrowserHost::ClientSite::SaveObject() {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::ClientSite::GetMoniker(DWORD, DWORD, IMoniker**) {
    return E_NOTIMPL;
}
// No container: the control is alone in its window.
STDMETHODIMP BrowserHost::ClientSite::GetContainer(IOleContainer** container) {
    if (!container)
        return E_POINTER;
    *container = NULL;
    return E_NOINTERFACE;
}
STDMETHODIMP BrowserHost::ClientSite::ShowObject() {
    return S_OK;
}
STDMETHODIMP BrowserHost::ClientSite::OnShowWindow(BOOL) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::ClientSite::RequestNewObjectLayout() {
    return E_NOTIMPL;
}

// ---------------------------------------------------------------------------
// IOleInPlaceSite

STDMETHODIMP BrowserHost::InPlaceSite::QueryInterface(REFIID riid, void** object) {
    return owner->QuerySite(riid, object);
}
STDMETHODIMP_(ULONG) BrowserHost::InPlaceSite::AddRef() {
    return 1;
}
STDMETHODIMP_(ULONG) BrowserHost::InPlaceSite::Release() {
    return 1;
}
STDMETHODIMP BrowserHost::InPlaceSite::GetWindow(HWND* window) {
    if (!window)
        return E_POINTER;
    *window = owner->hostWindow_;
    return S_OK;
}
STDMETHODIMP BrowserHost::InPlaceSite::ContextSensitiveHelp(BOOL) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::InPlaceSite::CanInPlaceActivate() {
    return S_OK;
}
STDMETHODIMP BrowserHost::InPlaceSite::OnInPlaceActivate() {
    return S_OK;
}
STDMETHODIMP BrowserHost::InPlaceSite::OnUIActivate() {
    return S_OK;
}

STDMETHODIMP BrowserHost::InPlaceSite::GetWindowContext(IOleInPlaceFrame** frame,
                                                        IOleInPlaceUIWindow** doc, LPRECT posRect,
                                                        LPRECT clipRect,
                                                        LPOLEINPLACEFRAMEINFO frameInfo) {
    // The frame is part of this object: handing it out adds no reference.
    // An output the caller did not ask for (null) is skipped.
    if (frame)
        *frame = &owner->inPlaceFrame_;
    if (doc)
        *doc = NULL;
    // The control fills the whole frame; a window that is already gone (the
    // control is closed after the launcher's windows) reports an empty one.
    RECT client;
    SetRectEmpty(&client);
    GetClientRect(owner->hostWindow_, &client);
    if (posRect)
        *posRect = client;
    if (clipRect)
        *clipRect = client;
    // frameInfo->cb is the caller's and stays as it was.
    if (frameInfo) {
        frameInfo->fMDIApp = FALSE;
        frameInfo->hwndFrame = owner->hostWindow_;
        frameInfo->haccel = NULL;
        frameInfo->cAccelEntries = 0;
    }
    return S_OK;
}

STDMETHODIMP BrowserHost::InPlaceSite::Scroll(SIZE) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::InPlaceSite::OnUIDeactivate(BOOL) {
    return S_OK;
}
STDMETHODIMP BrowserHost::InPlaceSite::OnInPlaceDeactivate() {
    return S_OK;
}
STDMETHODIMP BrowserHost::InPlaceSite::DiscardUndoState() {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::InPlaceSite::DeactivateAndUndo() {
    return E_NOTIMPL;
}
// The control keeps the place it was given: the frame never changes size.
STDMETHODIMP BrowserHost::InPlaceSite::OnPosRectChange(LPCRECT) {
    return S_OK;
}

// ---------------------------------------------------------------------------
// IOleInPlaceFrame: no menus, tool bars, status bar or accelerators.

STDMETHODIMP BrowserHost::InPlaceFrame::QueryInterface(REFIID, void**) {
    return E_NOTIMPL;
}
STDMETHODIMP_(ULONG) BrowserHost::InPlaceFrame::AddRef() {
    return 1;
}
STDMETHODIMP_(ULONG) BrowserHost::InPlaceFrame::Release() {
    return 1;
}
STDMETHODIMP BrowserHost::InPlaceFrame::GetWindow(HWND* window) {
    if (!window)
        return E_POINTER;
    *window = owner->hostWindow_;
    return S_OK;
}
STDMETHODIMP BrowserHost::InPlaceFrame::ContextSensitiveHelp(BOOL) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::InPlaceFrame::GetBorder(LPRECT) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::InPlaceFrame::RequestBorderSpace(LPCBORDERWIDTHS) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::InPlaceFrame::SetBorderSpace(LPCBORDERWIDTHS) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::InPlaceFrame::SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) {
    return S_OK;
}
STDMETHODIMP BrowserHost::InPlaceFrame::InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::InPlaceFrame::SetMenu(HMENU, HOLEMENU, HWND) {
    return S_OK;
}
STDMETHODIMP BrowserHost::InPlaceFrame::RemoveMenus(HMENU) {
    return E_NOTIMPL;
}
STDMETHODIMP BrowserHost::InPlaceFrame::SetStatusText(LPCOLESTR) {
    return S_OK;
}
STDMETHODIMP BrowserHost::InPlaceFrame::EnableModeless(BOOL) {
    return S_OK;
}
STDMETHODIMP BrowserHost::InPlaceFrame::TranslateAccelerator(LPMSG, WORD) {
    return E_NOTIMPL;
}
