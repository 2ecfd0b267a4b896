// The site object's interface tables and reference counting, without a
// control: what the browser control finds when it calls the site.
#include <gtest/gtest.h>

#include <ocidl.h>

#include "ui/resource.h"
#include "web/browser.h"
#include "web/browser_host.h"

namespace {

// A clearly invalid pointer value that no interface answer may produce.
void* const kUntouched = reinterpret_cast<void*>(0x5a5a5a5a);

// Counts the hosts that were really freed.
int g_destroyed = 0;

class CountedHost : public BrowserHost {
  public:
    virtual ~CountedHost() { ++g_destroyed; }
};

// No such class exists: the creation fails at OleCreate.
const CLSID kNoSuchClass = {
    0x6b1a6c2e, 0x93d4, 0x4e0b, {0x9f, 0x2a, 0x51, 0x7c, 0x0d, 0x3e, 0x44, 0x18}};

INT_PTR CALLBACK QuietDialogProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG;
}

// A host whose window is the real placeholder of the launcher's template
// (opened with a dialog procedure of the test's own, so that no browser is
// attached), with no control in it.
class SiteWithWindow : public ::testing::Test {
  protected:
    void SetUp() {
        g_destroyed = 0;
        dialog_ = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_LAUNCHER), NULL,
                                     QuietDialogProc, 0);
        ASSERT_TRUE(dialog_ != NULL);
        placeholder_ = GetDlgItem(dialog_, IDC_WEB_PLACEHOLDER);
        ASSERT_TRUE(placeholder_ != NULL);
        host_ = new CountedHost;
        host_->CreateBrowser(placeholder_, kNoSuchClass, "http://127.0.0.1:9/");
        ASSERT_TRUE(host_->browser() == NULL);
    }
    void TearDown() {
        if (host_)
            host_->Release();
        DestroyWindow(dialog_);
    }

    HWND dialog_;
    HWND placeholder_;
    BrowserHost* host_;
};

TEST_F(SiteWithWindow, QueryInterfaceThroughTheSitesAnswersTheSitesWithoutAReference) {
    IUnknown* sites[] = {host_->clientSite(), host_->inPlaceSite()};
    for (size_t s = 0; s < 2; ++s) {
        SCOPED_TRACE(s == 0 ? "through the client site" : "through the in-place site");
        void* out = kUntouched;
        EXPECT_EQ(S_OK, sites[s]->QueryInterface(IID_IUnknown, &out));
        EXPECT_EQ(static_cast<void*>(host_->clientSite()), out);
        out = kUntouched;
        EXPECT_EQ(S_OK, sites[s]->QueryInterface(IID_IOleClientSite, &out));
        EXPECT_EQ(static_cast<void*>(host_->clientSite()), out);
        out = kUntouched;
        EXPECT_EQ(S_OK, sites[s]->QueryInterface(IID_IOleInPlaceSite, &out));
        EXPECT_EQ(static_cast<void*>(host_->inPlaceSite()), out);

        // Everything else, even what the object also is, is refused with a
        // null answer.
        const IID* refused[] = {&IID_IOleWindow,        &IID_IOleInPlaceFrame, &IID_IStorage,
                                &IID_IOleInPlaceSiteEx, &IID_IDispatch,        &IID_IOleContainer,
                                &IID_IOleControlSite,   &IID_IOleObject};
        for (size_t i = 0; i < sizeof refused / sizeof refused[0]; ++i) {
            out = kUntouched;
            EXPECT_EQ(E_NOINTERFACE, sites[s]->QueryInterface(*refused[i], &out)) << i;
            EXPECT_TRUE(out == NULL) << i;
        }
    }
    EXPECT_EQ(1, host_->refCount());
}

TEST_F(SiteWithWindow, QueryInterfaceThroughTheStorageAndTheFrameIsNotImplemented) {
    IUnknown* parts[] = {host_->storage(), host_->inPlaceFrame()};
    const IID* asked[] = {&IID_IUnknown, &IID_IStorage, &IID_IOleInPlaceFrame, &IID_IOleWindow,
                          &IID_IOleClientSite};
    for (size_t p = 0; p < 2; ++p) {
        for (size_t i = 0; i < sizeof asked / sizeof asked[0]; ++i) {
            void* out = kUntouched;
            EXPECT_EQ(E_NOTIMPL, parts[p]->QueryInterface(*asked[i], &out)) << p << "," << i;
            EXPECT_EQ(kUntouched, out) << p << "," << i;
        }
    }
    EXPECT_EQ(1, host_->refCount());
}

TEST_F(SiteWithWindow, InterfaceAddRefAndReleaseAnswerOneAndLeaveTheObjectAlive) {
    IUnknown* parts[] = {host_->storage(), host_->clientSite(), host_->inPlaceSite(),
                         host_->inPlaceFrame()};
    for (size_t p = 0; p < 4; ++p) {
        EXPECT_EQ(1u, parts[p]->AddRef()) << p;
        EXPECT_EQ(1u, parts[p]->AddRef()) << p;
        EXPECT_EQ(1u, parts[p]->Release()) << p;
        EXPECT_EQ(1u, parts[p]->Release()) << p;
        EXPECT_EQ(1u, parts[p]->Release()) << p;
    }
    EXPECT_EQ(1, host_->refCount());
    EXPECT_EQ(0, g_destroyed);
}

TEST_F(SiteWithWindow, WindowsAndWindowContextAreThePlaceholders) {
    EXPECT_EQ(placeholder_, host_->hostWindow());
    HWND window = NULL;
    EXPECT_EQ(S_OK, host_->inPlaceSite()->GetWindow(&window));
    EXPECT_EQ(placeholder_, window);
    window = NULL;
    EXPECT_EQ(S_OK, host_->inPlaceFrame()->GetWindow(&window));
    EXPECT_EQ(placeholder_, window);

    RECT client;
    ASSERT_TRUE(GetClientRect(placeholder_, &client));
    ASSERT_GT(client.right, 0);
    ASSERT_GT(client.bottom, 0);

    IOleInPlaceFrame* frame = NULL;
    IOleInPlaceUIWindow* doc = static_cast<IOleInPlaceUIWindow*>(kUntouched);
    RECT pos = {-1, -1, -1, -1};
    RECT clip = {-1, -1, -1, -1};
    OLEINPLACEFRAMEINFO info;
    info.cb = 12345; // the caller's: it must come back as it was
    info.fMDIApp = TRUE;
    info.hwndFrame = NULL;
    info.haccel = reinterpret_cast<HACCEL>(kUntouched);
    info.cAccelEntries = 7;
    EXPECT_EQ(S_OK, host_->inPlaceSite()->GetWindowContext(&frame, &doc, &pos, &clip, &info));
    EXPECT_EQ(host_->inPlaceFrame(), frame);
    EXPECT_TRUE(doc == NULL);
    EXPECT_TRUE(EqualRect(&client, &pos));
    EXPECT_TRUE(EqualRect(&client, &clip));
    EXPECT_EQ(0, pos.left);
    EXPECT_EQ(0, pos.top);
    EXPECT_EQ(12345u, info.cb);
    EXPECT_FALSE(info.fMDIApp);
    EXPECT_EQ(placeholder_, info.hwndFrame);
    EXPECT_TRUE(info.haccel == NULL);
    EXPECT_EQ(0u, info.cAccelEntries);
    // Handing out the frame added no reference.
    EXPECT_EQ(1, host_->refCount());
}

TEST_F(SiteWithWindow, OperationsThatSucceedWithoutDoingAnything) {
    EXPECT_EQ(S_OK, host_->storage()->SetClass(kNoSuchClass));

    IOleClientSite* client = host_->clientSite();
    EXPECT_EQ(S_OK, client->ShowObject());
    IOleContainer* container = static_cast<IOleContainer*>(kUntouched);
    EXPECT_EQ(E_NOINTERFACE, client->GetContainer(&container));
    EXPECT_TRUE(container == NULL);

    IOleInPlaceSite* site = host_->inPlaceSite();
    EXPECT_EQ(S_OK, site->CanInPlaceActivate());
    EXPECT_EQ(S_OK, site->OnInPlaceActivate());
    EXPECT_EQ(S_OK, site->OnUIActivate());
    EXPECT_EQ(S_OK, site->OnUIDeactivate(FALSE));
    EXPECT_EQ(S_OK, site->OnInPlaceDeactivate());
    RECT elsewhere = {5, 5, 50, 50};
    EXPECT_EQ(S_OK, site->OnPosRectChange(&elsewhere));

    IOleInPlaceFrame* frame = host_->inPlaceFrame();
    EXPECT_EQ(S_OK, frame->SetActiveObject(NULL, NULL));
    EXPECT_EQ(S_OK, frame->SetMenu(NULL, NULL, NULL));
    EXPECT_EQ(S_OK, frame->SetStatusText(L"Done"));
    EXPECT_EQ(S_OK, frame->EnableModeless(TRUE));
    EXPECT_EQ(1, host_->refCount());
}

TEST_F(SiteWithWindow, NotImplementedOperationsWriteNoOutput) {
    IStorage* storage = host_->storage();
    IStream* stream = static_cast<IStream*>(kUntouched);
    IStorage* sub = static_cast<IStorage*>(kUntouched);
    IEnumSTATSTG* elements = static_cast<IEnumSTATSTG*>(kUntouched);
    EXPECT_EQ(E_NOTIMPL, storage->CreateStream(L"s", STGM_CREATE, 0, 0, &stream));
    EXPECT_EQ(E_NOTIMPL, storage->OpenStream(L"s", NULL, STGM_READ, 0, &stream));
    EXPECT_EQ(E_NOTIMPL, storage->CreateStorage(L"s", STGM_CREATE, 0, 0, &sub));
    EXPECT_EQ(E_NOTIMPL, storage->OpenStorage(L"s", NULL, STGM_READ, NULL, 0, &sub));
    EXPECT_EQ(E_NOTIMPL, storage->CopyTo(0, NULL, NULL, NULL));
    EXPECT_EQ(E_NOTIMPL, storage->MoveElementTo(L"s", NULL, L"t", 0));
    EXPECT_EQ(E_NOTIMPL, storage->Commit(0));
    EXPECT_EQ(E_NOTIMPL, storage->Revert());
    EXPECT_EQ(E_NOTIMPL, storage->EnumElements(0, NULL, 0, &elements));
    EXPECT_EQ(E_NOTIMPL, storage->DestroyElement(L"s"));
    EXPECT_EQ(E_NOTIMPL, storage->RenameElement(L"s", L"t"));
    EXPECT_EQ(E_NOTIMPL, storage->SetElementTimes(L"s", NULL, NULL, NULL));
    EXPECT_EQ(E_NOTIMPL, storage->SetStateBits(1, 1));
    STATSTG stat;
    FillMemory(&stat, sizeof stat, 0xa5);
    EXPECT_EQ(E_NOTIMPL, storage->Stat(&stat, STATFLAG_NONAME));
    EXPECT_EQ(kUntouched, static_cast<void*>(stream));
    EXPECT_EQ(kUntouched, static_cast<void*>(sub));
    EXPECT_EQ(kUntouched, static_cast<void*>(elements));
    EXPECT_EQ(0xa5a5a5a5u, stat.type);

    IOleClientSite* client = host_->clientSite();
    IMoniker* moniker = static_cast<IMoniker*>(kUntouched);
    EXPECT_EQ(E_NOTIMPL, client->SaveObject());
    EXPECT_EQ(E_NOTIMPL,
              client->GetMoniker(OLEGETMONIKER_ONLYIFTHERE, OLEWHICHMK_OBJFULL, &moniker));
    EXPECT_EQ(kUntouched, static_cast<void*>(moniker));
    EXPECT_EQ(E_NOTIMPL, client->OnShowWindow(TRUE));
    EXPECT_EQ(E_NOTIMPL, client->RequestNewObjectLayout());

    IOleInPlaceSite* site = host_->inPlaceSite();
    SIZE by = {1, 1};
    EXPECT_EQ(E_NOTIMPL, site->ContextSensitiveHelp(TRUE));
    EXPECT_EQ(E_NOTIMPL, site->Scroll(by));
    EXPECT_EQ(E_NOTIMPL, site->DiscardUndoState());
    EXPECT_EQ(E_NOTIMPL, site->DeactivateAndUndo());

    IOleInPlaceFrame* frame = host_->inPlaceFrame();
    RECT border = {-1, -2, -3, -4};
    BORDERWIDTHS widths = {1, 2, 3, 4};
    OLEMENUGROUPWIDTHS groups = {{9, 9, 9, 9, 9, 9}};
    MSG message = {};
    EXPECT_EQ(E_NOTIMPL, frame->ContextSensitiveHelp(TRUE));
    EXPECT_EQ(E_NOTIMPL, frame->GetBorder(&border));
    EXPECT_EQ(-1, border.left);
    EXPECT_EQ(-4, border.bottom);
    EXPECT_EQ(E_NOTIMPL, frame->RequestBorderSpace(&widths));
    EXPECT_EQ(E_NOTIMPL, frame->SetBorderSpace(&widths));
    EXPECT_EQ(E_NOTIMPL, frame->InsertMenus(NULL, &groups));
    EXPECT_EQ(9, groups.width[0]);
    EXPECT_EQ(9, groups.width[5]);
    EXPECT_EQ(E_NOTIMPL, frame->RemoveMenus(NULL));
    EXPECT_EQ(E_NOTIMPL, frame->TranslateAccelerator(&message, 0));
    EXPECT_EQ(1, host_->refCount());
}

TEST(BrowserHostLife, AddRefAnswersTheCountBeforeAndOneReleaseFreesAFreshHost) {
    g_destroyed = 0;
    BrowserHost* host = new CountedHost;
    EXPECT_EQ(1, host->refCount());
    EXPECT_EQ(1, host->AddRef());
    EXPECT_EQ(2, host->refCount());
    EXPECT_EQ(2, host->AddRef());
    EXPECT_EQ(3, host->refCount());
    EXPECT_EQ(2, host->Release());
    EXPECT_EQ(1, host->Release());
    EXPECT_EQ(0, g_destroyed);
    EXPECT_EQ(0, host->Release());
    EXPECT_EQ(1, g_destroyed);

    BrowserHost* fresh = new CountedHost;
    EXPECT_EQ(0, fresh->Release());
    EXPECT_EQ(2, g_destroyed);
}

TEST(BrowserHostLife, DestroyingAfterAFailedCreationFreesTheHostAndForgetsIt) {
    g_destroyed = 0;
    HWND window = CreateWindowExA(0, "STATIC", "", WS_POPUP | SS_BLACKRECT, 0, 0, 200, 100, NULL,
                                  NULL, NULL, NULL);
    ASSERT_TRUE(window != NULL);
    g_browserHost = new CountedHost;
    g_browserHost->CreateBrowser(window, kNoSuchClass, "http://127.0.0.1:9/");
    EXPECT_TRUE(g_browserHost->browser() == NULL);
    // Nothing was embedded: the black frame stays as it is.
    EXPECT_TRUE(GetWindow(window, GW_CHILD) == NULL);

    DestroyBrowser();
    EXPECT_EQ(1, g_destroyed);
    EXPECT_TRUE(g_browserHost == NULL);
    // A second teardown, or one without any host, touches nothing.
    DestroyBrowser();
    EXPECT_EQ(1, g_destroyed);
    EXPECT_TRUE(g_browserHost == NULL);
    DestroyWindow(window);
}

} // namespace
