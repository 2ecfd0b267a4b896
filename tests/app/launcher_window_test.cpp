// The launcher window, opened from its real template with its real procedure
// and driven from inside its modal loop.
#include <gtest/gtest.h>

#include <ole2.h>

#include <vector>

#include "support/dialog_driver.h"
#include "ui/launcher_dialog.h"
#include "ui/resource.h"
#include "web/browser.h"
#include "web/browser_host.h"

namespace {

struct Observed {
    char caption[64];
    RECT rect;
    int screenWidth;
    int screenHeight;
};

// Opens the launcher, lets `drive` act on it, and undoes what its
// initialisation set up, as the launch sequence does after it.
INT_PTR RunLauncher(const std::function<void(HWND)>& drive) {
    INT_PTR result = test::RunDialog(IDD_LAUNCHER, LauncherDialogProc, NULL, drive);
    DestroyBrowser();
    if (g_launcherOleInitialized) {
        OleUninitialize();
        g_launcherOleInitialized = false;
    }
    return result;
}

void Click(HWND dialog, int id) {
    SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void PressKey(HWND dialog, WORD key) {
    SetForegroundWindow(dialog);
    SetFocus(GetDlgItem(dialog, IDC_PLAY));
    test::Settle();
    // Into the dialog manager's own keyboard handling, as a real key press.
    PostMessageA(GetFocus(), WM_KEYDOWN, key, 1);
    PostMessageA(GetFocus(), WM_KEYUP, key, 0xC0000001);
    test::Settle(100);
}

TEST(LauncherWindow, ButtonsAndCloseRequestEndItWithTheirResultCodes) {
    EXPECT_EQ(IDC_PLAY, RunLauncher([](HWND w) { Click(w, IDC_PLAY); }));
    EXPECT_EQ(IDC_CLOSE, RunLauncher([](HWND w) { Click(w, IDC_CLOSE); }));
    EXPECT_EQ(IDC_CLOSE, RunLauncher([](HWND w) { PostMessageA(w, WM_CLOSE, 0, 0); }));
    // The hidden GAMEPAD button cannot be clicked; its command still ends the window.
    EXPECT_EQ(IDC_GAMEPAD, RunLauncher([](HWND w) {
                  PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDC_GAMEPAD, BN_CLICKED), 0);
              }));
}

TEST(LauncherWindow, EnterEscapeAndUnknownCommandsDoNotCloseIt) {
    static bool stillOpen;
    stillOpen = false;
    INT_PTR result = RunLauncher([](HWND w) {
        PressKey(w, VK_ESCAPE);
        PressKey(w, VK_RETURN);
        SendMessageA(w, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        SendMessageA(w, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        SendMessageA(w, WM_COMMAND, MAKEWPARAM(4242, 0), 0);
        test::Settle(100);
        stillOpen = IsWindow(w) && IsWindowVisible(w);
        Click(w, IDC_CLOSE);
    });
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(IDC_CLOSE, result);
}

bool g_optionsOpened;

// Closes an Options dialog that showed up, and notes that it did.
void CALLBACK CloseStrayOptions(HWND, UINT, UINT_PTR, DWORD) {
    HWND options = test::FindThreadDialog("Options");
    if (options) {
        g_optionsOpened = true;
        SendMessageA(options, WM_CLOSE, 0, 0);
    }
}

TEST(LauncherWindow, OpensCentredWithItsCaptionAndInitialisesOleAndTheBrowserOnce) {
    static Observed seen;
    static bool oleUp, stillOpen, sameHost;
    ZeroMemory(&seen, sizeof seen);
    g_optionsOpened = false;
    RunLauncher([](HWND w) {
        GetWindowTextA(w, seen.caption, sizeof seen.caption);
        GetWindowRect(w, &seen.rect);
        seen.screenWidth = GetSystemMetrics(SM_CXSCREEN);
        seen.screenHeight = GetSystemMetrics(SM_CYSCREEN);
        oleUp = OleInitialize(NULL) == S_FALSE;
        OleUninitialize();
        // Any program can send the initialisation again, with any wParam.
        BrowserHost* host = g_browserHost;
        UINT_PTR timer = SetTimer(NULL, 0, 50, CloseStrayOptions);
        stillOpen = true;
        for (WPARAM id = IDC_PLAY; id <= IDC_GAMEPAD; ++id) {
            SendMessageA(w, WM_INITDIALOG, id, 0);
            stillOpen = stillOpen && IsWindowVisible(w);
        }
        KillTimer(NULL, timer);
        sameHost = host != NULL && g_browserHost == host;
        Click(w, IDC_CLOSE);
    });
    EXPECT_STREQ("Varnholt", seen.caption);
    int width = seen.rect.right - seen.rect.left;
    int height = seen.rect.bottom - seen.rect.top;
    EXPECT_EQ((seen.screenWidth - width) / 2, seen.rect.left);
    EXPECT_EQ((seen.screenHeight - height) / 2, seen.rect.top);
    EXPECT_TRUE(oleUp);
    EXPECT_TRUE(stillOpen);
    EXPECT_FALSE(g_optionsOpened);
    EXPECT_TRUE(sameHost);
    // The launch sequence's one OleUninitialize has taken OLE down again.
    EXPECT_EQ(S_OK, OleInitialize(NULL));
    OleUninitialize();
}

// The template's size is in dialog units of its MS Sans Serif 8: at 96 DPI
// the window is 652 x 386 pixels with its border (650 x 384 inside), on
// Windows as in the test bed with Wine's own fonts. A substitute font (Wine
// without fonts-wine draws DejaVu Sans) makes it some 110 pixels wider: the
// tests would then see another window than the players do.
TEST(LauncherWindow, HasTheSizeThatMsSansSerifGivesItsTemplate) {
    static RECT rect;
    static int dpi;
    RunLauncher([](HWND w) {
        GetWindowRect(w, &rect);
        HDC dc = GetDC(w);
        dpi = GetDeviceCaps(dc, LOGPIXELSY);
        ReleaseDC(w, dc);
        Click(w, IDC_CLOSE);
    });
    ASSERT_EQ(96, dpi);
    EXPECT_NEAR(652, rect.right - rect.left, 20)
        << "is the dialog font MS Sans Serif (fonts-wine)?";
    EXPECT_NEAR(386, rect.bottom - rect.top, 20);
}

struct ChildInfo {
    int id;
    char className[32];
    LONG style;
    RECT rect; // in dialog units
};

TEST(LauncherWindow, HasItsControlsInTemplateOrderWithTheHiddenOnesHidden) {
    static std::vector<ChildInfo> children;
    static LONG dialogStyle;
    static RECT client;
    children.clear();
    RunLauncher([](HWND w) {
        dialogStyle = GetWindowLongA(w, GWL_STYLE);
        RECT units = {0, 0, 433, 236};
        MapDialogRect(w, &units);
        GetClientRect(w, &client);
        // Compare the client size to the template's size in dialog units.
        client.right -= units.right;
        client.bottom -= units.bottom;
        for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
            ChildInfo info;
            info.id = GetDlgCtrlID(c);
            GetClassNameA(c, info.className, sizeof info.className);
            info.style = GetWindowLongA(c, GWL_STYLE);
            GetWindowRect(c, &info.rect);
            MapWindowPoints(NULL, w, reinterpret_cast<POINT*>(&info.rect), 2);
            children.push_back(info);
        }
        Click(w, IDC_CLOSE);
    });
    EXPECT_EQ(WS_POPUP | WS_BORDER, dialogStyle & (WS_POPUP | WS_CAPTION | WS_SYSMENU));
    EXPECT_EQ(0, client.right);
    EXPECT_EQ(0, client.bottom);

    struct Expected {
        int id;
        const char* className;
        bool visible;
        bool enabled;
    };
    const Expected expected[] = {
        {IDC_PLAY, "Button", true, true},
        {IDC_CLOSE, "Button", true, true},
        {IDC_WEB_PLACEHOLDER, "Static", true, true},
        {IDC_GAMEPAD, "Button", false, true},
        {IDC_OPTIONS, "Button", false, true},
        {IDC_LAUNCHER_COMBO, "ComboBox", false, false},
    };
    ASSERT_EQ(6u, children.size());
    for (size_t i = 0; i < children.size(); ++i) {
        SCOPED_TRACE(expected[i].id);
        EXPECT_EQ(expected[i].id, children[i].id);
        EXPECT_STRCASEEQ(expected[i].className, children[i].className);
        EXPECT_EQ(expected[i].visible, (children[i].style & WS_VISIBLE) != 0);
        EXPECT_EQ(expected[i].enabled, (children[i].style & WS_DISABLED) == 0);
    }
    EXPECT_EQ(SS_BLACKRECT, children[2].style & SS_TYPEMASK);
    EXPECT_EQ(static_cast<LONG>(CBS_DROPDOWN | CBS_SORT),
              children[5].style & (CBS_DROPDOWN | CBS_DROPDOWNLIST | CBS_SORT));
}

bool g_optionsSeen, g_optionsOwnedByLauncher, g_launcherOpenAfterOptions;
HWND g_launcher;

// Closes the Options dialog once it shows, then the launcher.
void CALLBACK CloseOptionsThenLauncher(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND options = test::FindThreadDialog("Options");
    if (!options)
        return;
    KillTimer(NULL, timer);
    g_optionsSeen = true;
    g_optionsOwnedByLauncher = GetWindow(options, GW_OWNER) == g_launcher;
    SendMessageA(options, WM_CLOSE, 0, 0);
    test::Settle(100);
    g_launcherOpenAfterOptions = IsWindow(g_launcher) && IsWindowVisible(g_launcher);
    Click(g_launcher, IDC_CLOSE);
}

TEST(LauncherWindow, OptionsCommandOpensTheOptionsDialogAndTheLauncherStaysOpen) {
    g_optionsSeen = g_optionsOwnedByLauncher = g_launcherOpenAfterOptions = false;
    INT_PTR result = RunLauncher([](HWND w) {
        g_launcher = w;
        SetTimer(NULL, 0, 50, CloseOptionsThenLauncher);
        PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDC_OPTIONS, BN_CLICKED), 0);
    });
    EXPECT_TRUE(g_optionsSeen);
    EXPECT_TRUE(g_optionsOwnedByLauncher);
    EXPECT_TRUE(g_launcherOpenAfterOptions);
    EXPECT_EQ(IDC_CLOSE, result);
}

} // namespace
