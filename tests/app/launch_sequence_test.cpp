// The launch sequence run in this process: the launcher window is the real
// one with the real browser control (watched), its ending is scripted through
// the program's import of DialogBoxParamA, and the program's imports of the
// OleUninitialize and of ShellExecuteA are noted in the same record, so that the
// record shows what happened in which order up to the launch.
#include <gtest/gtest.h>

#include <ole2.h>
#include <exdisp.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/launcher_app.h"
#include "settings/game_settings.h"
#include "support/dialog_driver.h"
#include "support/portal_addresses.h"
#include "support/test_support.h"
#include "ui/launcher_dialog.h"
#include "ui/resource.h"
#include "web/browser.h"
#include "web/browser_host.h"
#include "web/control_spy.h"

namespace {

typedef INT_PTR(WINAPI* DialogBoxFunction)(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM);
typedef void(WINAPI* OleUninitializeFunction)();

DialogBoxFunction g_realDialogBox;
OleUninitializeFunction g_realOleUninitialize;

INT_PTR g_endWith;
int g_bloomAtWindow;
// The launcher's site object, kept alive by the test past the window.
BrowserHost* g_host;
LONG g_hostReferencesAtLaunch;

void CALLBACK EndLauncher(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND launcher = test::FindThreadDialog("Varnholt");
    if (!launcher)
        return;
    KillTimer(NULL, timer);
    // No command of the window ends it with 0; another program can.
    if (g_endWith == 0)
        EndDialog(launcher, 0);
    else
        PostMessageA(launcher, WM_COMMAND, MAKEWPARAM(g_endWith, BN_CLICKED), 0);
}

INT_PTR WINAPI ScriptedDialogBox(HINSTANCE module, LPCSTR name, HWND owner, DLGPROC procedure,
                                 LPARAM parameter) {
    EXPECT_TRUE(module == GetModuleHandleA(NULL) && name == MAKEINTRESOURCEA(IDD_LAUNCHER) &&
                !owner && procedure == LauncherDialogProc && parameter == 0);
    g_bloomAtWindow = g_gameSettings.bloom;
    if (g_endWith == -1)
        return -1; // as when the window cannot be created
    SetTimer(NULL, 0, 20, EndLauncher);
    INT_PTR result = g_realDialogBox(module, name, owner, procedure, parameter);
    g_host = g_browserHost;
    if (g_host)
        g_host->AddRef();
    return result;
}

void WINAPI NotedOleUninitialize() {
    ControlSpyNote("OleUninitialize");
    g_realOleUninitialize();
}

const char* Text(const char* text) {
    return text ? text : "(null)";
}

HINSTANCE WINAPI NotedShellExecute(HWND window, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                                   LPCSTR folder, INT show) {
    char text[256];
    std::snprintf(text, sizeof text, "ShellExecuteA(%08lx,%s,%s,%s,%s,%d)",
                  static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(window)), Text(verb),
                  Text(file), Text(parameters), Text(folder), show);
    ControlSpyNote(text);
    g_hostReferencesAtLaunch = g_host ? g_host->refCount() : 0;
    return reinterpret_cast<HINSTANCE>(42);
}

class LaunchSequence : public ::testing::Test {
  protected:
    LaunchSequence()
        : dialogBox_("user32.dll", "DialogBoxParamA", reinterpret_cast<void*>(ScriptedDialogBox)),
          oleUninitialize_("ole32.dll", "OleUninitialize",
                           reinterpret_cast<void*>(NotedOleUninitialize)),
          shell_("shell32.dll", "ShellExecuteA", reinterpret_cast<void*>(NotedShellExecute)),
          cookie_(0) {
        g_realDialogBox = reinterpret_cast<DialogBoxFunction>(dialogBox_.original());
        g_realOleUninitialize =
            reinterpret_cast<OleUninitializeFunction>(oleUninitialize_.original());
    }
    // COM as the entry point leaves it around the sequence.
    void SetUp() {
        CoInitialize(NULL);
        cookie_ = ControlSpyRegister(CLSID_WebBrowser);
        ASSERT_NE(0u, cookie_);
    }
    void TearDown() {
        ControlSpyRevoke(cookie_);
        CoUninitialize();
    }

    // Runs the sequence with the window ending with `code`; the record.
    std::vector<std::string> Run(INT_PTR code) {
        g_endWith = code;
        g_gameSettings.bloom = 0;
        g_bloomAtWindow = -1;
        g_host = NULL;
        g_hostReferencesAtLaunch = -1;
        ControlSpyClear();
        LauncherApp app;
        app.Run(GetModuleHandleA(NULL), SW_SHOWNORMAL);
        if (g_host)
            g_host->Release();
        std::vector<std::string> calls;
        for (int i = 0; i < ControlSpyCallCount(); ++i)
            calls.push_back(ControlSpyCall(i));
        return calls;
    }

    test::ScopedTempDir folder_;
    test::ScopedImportPatch dialogBox_, oleUninitialize_, shell_;
    DWORD cookie_;
};

typedef std::vector<std::string> Calls;

TEST_F(LaunchSequence, ClosesAndReleasesTheControlThenOleThenOpensExactlyTheChosenTarget) {
    const std::string statistics = PORTAL_STATS_PAGE_URL;
    const struct {
        INT_PTR code;
        std::string target;
    } cases[] = {{IDC_PLAY, ".\\_Varnholt.exe"},
                 {IDC_GAMEPAD, ".\\xpad.exe"},
                 {IDC_CLOSE, statistics},
                 {0, statistics}};
    test::WriteFileBytes("config.cfg", "bloom = 1\r\n");
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(cases[i].code);
        Calls calls = Run(cases[i].code);
        EXPECT_EQ(1, g_bloomAtWindow) << "config.cfg not read before the window opened";
        Calls tail;
        for (size_t at = 0; at < calls.size(); ++at) {
            if (!tail.empty() || calls[at] == "Ole.Close(1)")
                tail.push_back(calls[at]);
        }
        EXPECT_EQ(
            (Calls{"Ole.Close(1)", "Ole.SetClientSite(00000000)", "Ole.Release", "OleUninitialize",
                   "ShellExecuteA(00000000,open," + cases[i].target + ",,,1)"}),
            tail);
        // The launcher let go of its site object before the launch: only the
        // test's own reference is left.
        EXPECT_EQ(1, g_hostReferencesAtLaunch);
    }
    // A window that could not open: nothing to close, no OLE of its own.
    EXPECT_EQ(Calls{"ShellExecuteA(00000000,open," + statistics + ",,,1)"}, Run(-1));
}

} // namespace
