// The OLE site object that hosts the web-browser control.
//
// One object carries the four container interfaces that in-place activation in
// a fixed child window needs. Each interface is a small part holding a pointer
// back to its owner; the interface AddRef/Release do not count: the object's
// life is governed by RefCountedBase alone, because exactly one owner (the
// process-wide pointer) exists and the control never outlives it.
#ifndef LAUNCHER_BROWSER_HOST_H
#define LAUNCHER_BROWSER_HOST_H

#include <windows.h>
#include <ole2.h>

class RefCountedBase {
  public:
    RefCountedBase();
    virtual ~RefCountedBase();

    // Returns the count as it was before the increment.
    virtual LONG AddRef();
    // Deletes the object when the count reaches 0 and returns 0; otherwise
    // returns the new count.
    virtual LONG Release();

    HWND hostWindow() const { return hostWindow_; }
    LONG refCount() const { return refCount_; }

  protected:
    HWND hostWindow_;
    LONG refCount_;

  private:
    RefCountedBase(const RefCountedBase&);
    RefCountedBase& operator=(const RefCountedBase&);
};

class BrowserHost : public RefCountedBase {
  public:
    BrowserHost();
    virtual ~BrowserHost();

    // Embeds the system web-browser control in hostWindow, sizes it to the
    // window's client area and starts navigation to the portal's start page.
    // What cannot be created is skipped: the window then stays as it is.
    void CreateBrowser(HWND hostWindow);
    // The same with the control's class and the page given, so that other
    // controls and pages can be hosted in the same way.
    void CreateBrowser(HWND hostWindow, REFCLSID controlClass, const char* url);

    // Closes the control without saving, takes the client site back from it
    // and releases it, if there is one.
    void CloseBrowser();

    // The interfaces handed to OLE (no reference is added).
    IStorage* storage() { return &storage_; }
    IOleClientSite* clientSite() { return &clientSite_; }
    IOleInPlaceSite* inPlaceSite() { return &inPlaceSite_; }
    IOleInPlaceFrame* inPlaceFrame() { return &inPlaceFrame_; }
    // The control, owned by the host; null when none was created.
    IOleObject* browser() const { return browser_; }

  private:
    struct Storage : public IStorage {
        BrowserHost* owner;

        STDMETHODIMP QueryInterface(REFIID riid, void** object);
        STDMETHODIMP_(ULONG) AddRef();
        STDMETHODIMP_(ULONG) Release();
        STDMETHODIMP CreateStream(LPCOLESTR name, DWORD mode, DWORD reserved1, DWORD reserved2,
                                  IStream** stream);
        STDMETHODIMP OpenStream(LPCOLESTR name, void* reserved1, DWORD mode, DWORD reserved2,
                                IStream** stream);
        STDMETHODIMP CreateStorage(LPCOLESTR name, DWORD mode, DWORD format, DWORD reserved,
                                   IStorage** storage);
        STDMETHODIMP OpenStorage(LPCOLESTR name, IStorage* priority, DWORD mode, SNB exclude,
                                 DWORD reserved, IStorage** storage);
        STDMETHODIMP CopyTo(DWORD excludeCount, const IID* excludeIids, SNB exclude,
                            IStorage* destination);
        STDMETHODIMP MoveElementTo(LPCOLESTR name, IStorage* destination, LPCOLESTR newName,
                                   DWORD flags);
        STDMETHODIMP Commit(DWORD flags);
        STDMETHODIMP Revert();
        STDMETHODIMP EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3,
                                  IEnumSTATSTG** elements);
        STDMETHODIMP DestroyElement(LPCOLESTR name);
        STDMETHODIMP RenameElement(LPCOLESTR oldName, LPCOLESTR newName);
        STDMETHODIMP SetElementTimes(LPCOLESTR name, const FILETIME* created,
                                     const FILETIME* accessed, const FILETIME* modified);
        STDMETHODIMP SetClass(REFCLSID clsid);
        STDMETHODIMP SetStateBits(DWORD bits, DWORD mask);
        STDMETHODIMP Stat(STATSTG* stat, DWORD flags);
    };

    struct ClientSite : public IOleClientSite {
        BrowserHost* owner;

        STDMETHODIMP QueryInterface(REFIID riid, void** object);
        STDMETHODIMP_(ULONG) AddRef();
        STDMETHODIMP_(ULONG) Release();
        STDMETHODIMP SaveObject();
        STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** moniker);
        STDMETHODIMP GetContainer(IOleContainer** container);
        STDMETHODIMP ShowObject();
        STDMETHODIMP OnShowWindow(BOOL show);
        STDMETHODIMP RequestNewObjectLayout();
    };

    struct InPlaceSite : public IOleInPlaceSite {
        BrowserHost* owner;

        STDMETHODIMP QueryInterface(REFIID riid, void** object);
        STDMETHODIMP_(ULONG) AddRef();
        STDMETHODIMP_(ULONG) Release();
        STDMETHODIMP GetWindow(HWND* window);
        STDMETHODIMP ContextSensitiveHelp(BOOL enterMode);
        STDMETHODIMP CanInPlaceActivate();
        STDMETHODIMP OnInPlaceActivate();
        STDMETHODIMP OnUIActivate();
        STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc,
                                      LPRECT posRect, LPRECT clipRect,
                                      LPOLEINPLACEFRAMEINFO frameInfo);
        STDMETHODIMP Scroll(SIZE extent);
        STDMETHODIMP OnUIDeactivate(BOOL undoable);
        STDMETHODIMP OnInPlaceDeactivate();
        STDMETHODIMP DiscardUndoState();
        STDMETHODIMP DeactivateAndUndo();
        STDMETHODIMP OnPosRectChange(LPCRECT posRect);
    };

    struct InPlaceFrame : public IOleInPlaceFrame {
        BrowserHost* owner;

        STDMETHODIMP QueryInterface(REFIID riid, void** object);
        STDMETHODIMP_(ULONG) AddRef();
        STDMETHODIMP_(ULONG) Release();
        STDMETHODIMP GetWindow(HWND* window);
        STDMETHODIMP ContextSensitiveHelp(BOOL enterMode);
        STDMETHODIMP GetBorder(LPRECT border);
        STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS widths);
        STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS widths);
        STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject* activeObject, LPCOLESTR name);
        STDMETHODIMP InsertMenus(HMENU shared, LPOLEMENUGROUPWIDTHS widths);
        STDMETHODIMP SetMenu(HMENU shared, HOLEMENU descriptor, HWND activeObject);
        STDMETHODIMP RemoveMenus(HMENU shared);
        STDMETHODIMP SetStatusText(LPCOLESTR text);
        STDMETHODIMP EnableModeless(BOOL enable);
        // windows.h maps this name to its A or W form; the interface's slot
        // carries the same mapped name, so the override still matches.
        STDMETHODIMP TranslateAccelerator(LPMSG message, WORD id);
    };

    // Shared by the client site and the in-place site.
    HRESULT QuerySite(REFIID riid, void** object);

    Storage storage_;
    ClientSite clientSite_;
    InPlaceSite inPlaceSite_;
    InPlaceFrame inPlaceFrame_;
    IOleObject* browser_;
};

#endif
