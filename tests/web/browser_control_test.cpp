// The system web-browser control embedded for real (Wine's, which has no
// engine to render with but creates, places and navigates like the real one):
// placement, navigation to a loopback server, the calls it makes on the site,
// and teardown. This program is built on the loopback copy of the launcher,
// whose portal is 127.0.0.1:LOOPBACK_PORTAL_PORT.
#include <gtest/gtest.h>

#include <exdisp.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "ui/launcher_dialog.h"
#include "ui/resource.h"
#include "web/browser.h"
#include "web/browser_host.h"
#include "web/control_spy.h"
#include "web/loopback_http_server.h"
#include "web/site_spy.h"

namespace {

const char kStartPage[] = "/?mini=2&gameid=220";

int g_destroyed = 0;

// Counts the hosts really freed, and stops watching the site before its
// parts go away.
class WatchedHost : public BrowserHost {
  public:
    WatchedHost() { SiteSpyAttach(storage(), clientSite(), inPlaceSite(), inPlaceFrame()); }
    virtual ~WatchedHost() {
        SiteSpyDetach();
        ++g_destroyed;
    }
};

const CLSID kNoSuchClass = {
    0x6b1a6c2e, 0x93d4, 0x4e0b, {0x9f, 0x2a, 0x51, 0x7c, 0x0d, 0x3e, 0x44, 0x18}};

INT_PTR CALLBACK QuietDialogProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG;
}

// The calls recorded so far, as "Part.Method=0xRESULT", and then forgotten.
std::vector<std::string> TakeSiteCalls() {
    std::vector<std::string> calls;
    for (int i = 0; i < SiteSpyCallCount(); ++i)
        calls.push_back(SiteSpyCall(i));
    SiteSpyClear();
    return calls;
}

std::string Join(const std::vector<std::string>& calls) {
    std::string text;
    for (size_t i = 0; i < calls.size(); ++i)
        text += "\n  " + calls[i];
    return text;
}

// Position of the first call of "Part.Method" (any result), or -1.
int Find(const std::vector<std::string>& calls, const std::string& call) {
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].compare(0, call.size() + 1, call + "=") == 0)
            return static_cast<int>(i);
    }
    return -1;
}

// Each call was made, each after the one before it.
void ExpectCalledInOrder(const std::vector<std::string>& calls, const char* const* expected,
                         size_t count) {
    int previous = -1;
    for (size_t i = 0; i < count; ++i) {
        int at = Find(calls, expected[i]);
        EXPECT_NE(-1, at) << expected[i] << " not called:" << Join(calls);
        EXPECT_GT(at, previous) << expected[i] << " out of order:" << Join(calls);
        previous = at;
    }
}

// References that the control took on the site (AddRef, successful
// QueryInterface, the frame handed out by GetWindowContext) minus those it
// gave back.
int ReferencesHeld(const std::vector<std::string>& calls) {
    int held = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        const std::string& call = calls[i];
        bool succeeded = call.compare(call.size() - 10, 10, "0x00000000") == 0;
        if (call.find(".AddRef=") != std::string::npos ||
            (call.find(".QueryInterface(") != std::string::npos && succeeded) ||
            (call.compare(0, 29, "InPlaceSite.GetWindowContext=") == 0 && succeeded))
            ++held;
        else if (call.find(".Release=") != std::string::npos)
            --held;
    }
    return held;
}

// Whether the control is in silent mode (no dialogs of its own), read back
// through its automation interface.
bool IsSilent(IOleObject* browser) {
    IWebBrowser2* web = NULL;
    if (FAILED(browser->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&web))))
        return false;
    VARIANT_BOOL silent = VARIANT_FALSE;
    web->get_Silent(&silent);
    web->Release();
    return silent == VARIANT_TRUE;
}

// The placeholder's client area in screen coordinates.
RECT ClientOnScreen(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    MapWindowPoints(window, NULL, reinterpret_cast<POINT*>(&client), 2);
    return client;
}

class RealControl : public ::testing::Test {
  protected:
    void SetUp() {
        g_destroyed = 0;
        SiteSpyClear();
        ASSERT_TRUE(SUCCEEDED(OleInitialize(NULL)));
    }
    void TearDown() {
        DestroyBrowser();
        if (g_launcherOleInitialized) {
            OleUninitialize();
            g_launcherOleInitialized = false;
        }
        OleUninitialize();
    }

    // A window of the launcher's template without the launcher's procedure,
    // so that the test embeds the control itself.
    HWND OpenQuietLauncherWindow() {
        HWND dialog = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_LAUNCHER),
                                         NULL, QuietDialogProc, 0);
        EXPECT_TRUE(dialog != NULL);
        return dialog;
    }

    std::string UrlFor(const test::LoopbackHttpServer& server, const char* target) {
        char url[128];
        std::snprintf(url, sizeof url, "http://127.0.0.1:%u%s", server.port(), target);
        return url;
    }
};

TEST_F(RealControl, TheLauncherWindowEmbedsItInThePlaceholderAndItRequestsTheStartPage) {
    test::LoopbackHttpServer server;
    ASSERT_TRUE(server.Start(LOOPBACK_PORTAL_PORT)) << "port " << LOOPBACK_PORTAL_PORT;

    // The launcher's own initialisation attaches the browser.
    HWND dialog = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_LAUNCHER), NULL,
                                     LauncherDialogProc, 0);
    ASSERT_TRUE(dialog != NULL);
    HWND placeholder = GetDlgItem(dialog, IDC_WEB_PLACEHOLDER);
    ASSERT_TRUE(g_browserHost != NULL);
    EXPECT_EQ(placeholder, g_browserHost->hostWindow());
    IOleObject* browser = g_browserHost->browser();
    ASSERT_TRUE(browser != NULL);

    EXPECT_TRUE(IsSilent(browser));

    // The control's own window lies inside the placeholder, over all of it.
    HWND view = GetWindow(placeholder, GW_CHILD);
    ASSERT_TRUE(view != NULL);
    RECT viewRect;
    GetWindowRect(view, &viewRect);
    RECT frame = ClientOnScreen(placeholder);
    EXPECT_TRUE(EqualRect(&frame, &viewRect));

    EXPECT_TRUE(server.WaitForRequest(kStartPage, 5000)) << server.Requests().size() << " requests";

    // The launch sequence's teardown: after the dialog's windows are gone.
    DestroyWindow(dialog);
    DestroyBrowser();
    EXPECT_TRUE(g_browserHost == NULL);
}

TEST_F(RealControl, ActivatesInPlaceThroughTheSiteAndGivesEverythingBackAtTeardown) {
    test::LoopbackHttpServer server;
    ASSERT_TRUE(server.Start(0));
    HWND dialog = OpenQuietLauncherWindow();
    HWND placeholder = GetDlgItem(dialog, IDC_WEB_PLACEHOLDER);

    g_browserHost = new WatchedHost;
    g_browserHost->CreateBrowser(placeholder, CLSID_WebBrowser,
                                 UrlFor(server, "/?mini=2&gameid=220").c_str());
    ASSERT_TRUE(g_browserHost->browser() != NULL);
    std::vector<std::string> created = TakeSiteCalls();

    // OleCreate stamps the class on the storage, and the storage is asked for
    // nothing else; the control finds the in-place site through the client
    // site and activates itself in the placeholder.
    EXPECT_EQ(0, Find(created, "Storage.SetClass")) << Join(created);
    for (size_t i = 1; i < created.size(); ++i)
        EXPECT_NE(0u, created[i].find("Storage.")) << Join(created);
    static const char* const activation[] = {"ClientSite.QueryInterface(IOleInPlaceSite)",
                                             "InPlaceSite.CanInPlaceActivate",
                                             "InPlaceSite.OnInPlaceActivate",
                                             "InPlaceSite.GetWindowContext",
                                             "InPlaceSite.OnUIActivate",
                                             "InPlaceFrame.SetActiveObject"};
    ExpectCalledInOrder(created, activation, sizeof activation / sizeof activation[0]);
    EXPECT_NE(-1, Find(created, "InPlaceSite.GetWindow")) << Join(created);
    EXPECT_NE(std::string::npos,
              Join(created).find("ClientSite.QueryInterface(IOleInPlaceSite)=0x00000000"));

    // Placed over the whole placeholder: every placement the control asked
    // its site for is the placeholder's client rectangle.
    RECT client;
    GetClientRect(placeholder, &client);
    char wanted[96];
    std::snprintf(wanted, sizeof wanted, "InPlaceSite.OnPosRectChange(0,0,%ld,%ld)=0x00000000",
                  client.right, client.bottom);
    int placements = 0;
    for (size_t i = 0; i < created.size(); ++i) {
        if (created[i].compare(0, 28, "InPlaceSite.OnPosRectChange(") == 0) {
            EXPECT_EQ(wanted, created[i]);
            ++placements;
        }
    }
    EXPECT_GE(placements, 1) << Join(created);

    EXPECT_TRUE(server.WaitForRequest(kStartPage, 5000));

    DestroyWindow(dialog);
    std::vector<std::string> before = TakeSiteCalls();
    DestroyBrowser();
    std::vector<std::string> closed = TakeSiteCalls();

    static const char* const deactivation[] = {"InPlaceSite.OnUIDeactivate",
                                               "InPlaceSite.OnInPlaceDeactivate"};
    ExpectCalledInOrder(closed, deactivation, 2);
    EXPECT_EQ(1, g_destroyed);
    EXPECT_TRUE(g_browserHost == NULL);

    // By the end of the teardown the control has given back every reference
    // it took on the site: it no longer exists and cannot call the freed
    // host.
    std::vector<std::string> all = created;
    all.insert(all.end(), before.begin(), before.end());
    all.insert(all.end(), closed.begin(), closed.end());
    EXPECT_EQ(0, ReferencesHeld(all)) << Join(all);
}

TEST_F(RealControl, APageStillLoadingAtTeardownLeavesTheControlNoWayBackToTheSite) {
    // A slow portal: the control's download is still under way when the
    // launcher closes, and that download keeps the control alive after the
    // teardown has released it.
    test::LoopbackHttpServer server;
    ASSERT_TRUE(server.Start(0));
    server.HoldAnswers();
    HWND dialog = OpenQuietLauncherWindow();

    WatchedHost* host = new WatchedHost;
    g_browserHost = host;
    host->CreateBrowser(GetDlgItem(dialog, IDC_WEB_PLACEHOLDER), CLSID_WebBrowser,
                        UrlFor(server, kStartPage).c_str());
    ASSERT_TRUE(server.WaitForRequest(kStartPage, 5000));

    DestroyWindow(dialog);
    // Kept alive by the test only, so that a late call lands on a live
    // object and shows here instead of in freed memory.
    host->AddRef();
    DestroyBrowser();
    std::vector<std::string> untilTeardown = TakeSiteCalls();
    EXPECT_EQ(0, ReferencesHeld(untilTeardown)) << Join(untilTeardown);

    server.LetAnswersGo();
    test::PumpMessages(500);
    std::vector<std::string> late = TakeSiteCalls();
    EXPECT_TRUE(late.empty()) << "called after the teardown:" << Join(late);
    EXPECT_EQ(0, g_destroyed);
    host->Release();
    EXPECT_EQ(1, g_destroyed);
}

TEST_F(RealControl, TheAddressReachesTheControlConvertedFromTheAnsiCodePage) {
    // Wine's control sends the address in the ANSI code page again, so the
    // bytes come back unchanged only when they were converted from it.
    // 0x80 is the euro sign in code page 1252, unlike in Latin-1.
    if (GetACP() != 1252)
        GTEST_SKIP() << "needs code page 1252, have " << GetACP();
    test::LoopbackHttpServer server;
    ASSERT_TRUE(server.Start(0));
    HWND dialog = OpenQuietLauncherWindow();

    g_browserHost = new BrowserHost;
    g_browserHost->CreateBrowser(GetDlgItem(dialog, IDC_WEB_PLACEHOLDER), CLSID_WebBrowser,
                                 UrlFor(server, "/?name=\x80\xe4").c_str());
    EXPECT_TRUE(server.WaitForRequest("/?name=\x80\xe4", 5000)) << server.Requests().size();
    DestroyWindow(dialog);
}

TEST_F(RealControl, AFailedCreationLeavesTheBlackPlaceholderAndATeardownThatTouchesNothing) {
    HWND dialog = OpenQuietLauncherWindow();
    HWND placeholder = GetDlgItem(dialog, IDC_WEB_PLACEHOLDER);

    g_browserHost = new WatchedHost;
    g_browserHost->CreateBrowser(placeholder, kNoSuchClass, "http://127.0.0.1:9/");
    EXPECT_TRUE(g_browserHost->browser() == NULL);
    EXPECT_TRUE(GetWindow(placeholder, GW_CHILD) == NULL);

    DestroyWindow(dialog);
    DestroyBrowser();
    EXPECT_EQ(1, g_destroyed);
    EXPECT_TRUE(g_browserHost == NULL);
    std::vector<std::string> calls = TakeSiteCalls();
    EXPECT_TRUE(calls.empty()) << Join(calls);
}

const CLSID kWatchedClass = {
    0x2f0c5b7e, 0x41a9, 0x4c6d, {0x8e, 0x13, 0x6a, 0x90, 0x27, 0xd4, 0xb1, 0x5c}};

std::string Format(const char* format, ...) {
    char text[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

// The real control through a class that records what the launcher calls on
// it, created and torn down as the launcher does it.
class WatchedControl : public RealControl {
  protected:
    void SetUp() {
        RealControl::SetUp();
        cookie_ = ControlSpyRegister(kWatchedClass);
        ASSERT_NE(0u, cookie_);
        ControlSpyClear();
    }
    void TearDown() {
        ControlSpyRefuseWebBrowser(0);
        ControlSpyRevoke(cookie_);
        RealControl::TearDown();
    }

    // Creates and destroys it in the launcher's window; returns the calls
    // from the launcher's first one after OleCreate on.
    std::vector<std::string> CreateAndDestroy(const std::string& url) {
        HWND dialog = OpenQuietLauncherWindow();
        placeholder_ = GetDlgItem(dialog, IDC_WEB_PLACEHOLDER);
        GetClientRect(placeholder_, &client_);
        g_browserHost = new BrowserHost;
        site_ = g_browserHost->clientSite();
        g_browserHost->CreateBrowser(placeholder_, kWatchedClass, url.c_str());
        test::PumpMessages(300);
        DestroyWindow(dialog);
        DestroyBrowser();
        std::vector<std::string> calls;
        for (int i = 0; i < ControlSpyCallCount(); ++i) {
            if (!calls.empty() || strncmp(ControlSpyCall(i), "Ole.SetHostNames", 16) == 0)
                calls.push_back(ControlSpyCall(i));
        }
        return calls;
    }

    std::string DoVerb() {
        return Format("Ole.DoVerb(-1,00000000,%08lx,-1,%08lx,0,0,%ld,%ld)",
                      static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(site_)),
                      static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(placeholder_)),
                      client_.right, client_.bottom);
    }

    DWORD cookie_;
    HWND placeholder_;
    RECT client_;
    IOleClientSite* site_;
};

TEST_F(WatchedControl, IsNamedContainedShownSilencedPlacedAndNavigatedThenClosedAndReleased) {
    test::LoopbackHttpServer server;
    ASSERT_TRUE(server.Start(0));
    std::string url = UrlFor(server, kStartPage);
    std::vector<std::string> calls = CreateAndDestroy(url);
    EXPECT_TRUE(server.WaitForRequest(kStartPage, 5000));
    std::vector<std::string> expected = {"Ole.SetHostNames(Web Host,Web View)",
                                         "Ole.QueryInterface(IRunnableObject)=0x80004002",
                                         DoVerb(),
                                         "Ole.QueryInterface(IWebBrowser2)=0x00000000",
                                         "Web.put_Silent(-1)",
                                         "Web.put_Left(0)",
                                         "Web.put_Top(0)",
                                         Format("Web.put_Width(%ld)", client_.right),
                                         Format("Web.put_Height(%ld)", client_.bottom),
                                         "Web.Navigate2(8:" + url + ",0,0,0,0)",
                                         "Web.Release",
                                         "Ole.Close(1)",
                                         "Ole.SetClientSite(00000000)",
                                         "Ole.Release"};
    EXPECT_EQ(expected, calls) << Join(calls);
}

TEST_F(WatchedControl, WithoutItsAutomationInterfaceItIsStillClosedAndReleased) {
    ControlSpyRefuseWebBrowser(1);
    std::vector<std::string> calls = CreateAndDestroy("http://127.0.0.1:9/");
    std::vector<std::string> expected = {"Ole.SetHostNames(Web Host,Web View)",
                                         "Ole.QueryInterface(IRunnableObject)=0x80004002",
                                         DoVerb(),
                                         "Ole.QueryInterface(IWebBrowser2)=0x80004002",
                                         "Ole.Close(1)",
                                         "Ole.SetClientSite(00000000)",
                                         "Ole.Release"};
    EXPECT_EQ(expected, calls) << Join(calls);
}

} // namespace
