// The launch sequence run in this process: the launcher window is the real
// one with the real browser control (watched), its ending is scripted through
// the program's import of DialogBoxParamA, and the program's imports of the
// OleUninitialize and of ShellExecuteExA are noted in the same record, so that
// the record shows what happened in which order up to the launch. The shell's
// answer is scripted too, and a failure message is read and answered from
// inside its own modal loop.
#include <gtest/gtest.h>

#include <ole2.h>
#include <exdisp.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/launcher_app.h"
#include "settings/game_settings.h"
#include "support/dialog_driver.h"
#include "support/launcher_process.h"
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
    // An error that a call before the launch left behind, which no failure of
    // the launch may be blamed on.
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
}

const char* Text(const char* text) {
    return text ? text : "(null)";
}

// The shell's answer: success, or a failure with this Windows error (0: none,
// the last error stays as the shell found it) and this code of its own.
DWORD g_shellError;
INT_PTR g_shellCode;
UINT_PTR g_boxTimer;
// The message the player should see, and how many boxes showed.
const char* g_failure;
std::string g_failurePath;
DWORD g_failureError;
int g_boxes;

void CALLBACK AnswerBox(HWND, UINT, UINT_PTR, DWORD) {
    HWND box = test::FindThreadDialog("Varnholt");
    if (!box)
        return;
    ++g_boxes;
    test::ExpectFailureMessage(box, g_failurePath, g_failureError, g_failure);
    SendMessageA(box, WM_COMMAND, IDOK, 0);
}

BOOL WINAPI NotedShellExecuteEx(SHELLEXECUTEINFOA* launch) {
    const DWORD found = GetLastError();
    EXPECT_EQ(sizeof *launch, launch->cbSize);
    char text[256];
    std::snprintf(text, sizeof text, "ShellExecuteExA(%08lx,%s,%s,%s,%s,%d,%04lx)",
                  static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(launch->hwnd)),
                  Text(launch->lpVerb), Text(launch->lpFile), Text(launch->lpParameters),
                  Text(launch->lpDirectory), launch->nShow, launch->fMask);
    ControlSpyNote(text);
    g_hostReferencesAtLaunch = g_host ? g_host->refCount() : 0;
    launch->hInstApp = reinterpret_cast<HINSTANCE>(g_shellCode);
    if (g_shellCode > 32)
        return TRUE;
    g_boxTimer = SetTimer(NULL, 0, 20, AnswerBox);
    SetLastError(g_shellError ? g_shellError : found);
    return FALSE;
}

class LaunchSequence : public ::testing::Test {
  protected:
    LaunchSequence()
        : dialogBox_("user32.dll", "DialogBoxParamA", reinterpret_cast<void*>(ScriptedDialogBox)),
          oleUninitialize_("ole32.dll", "OleUninitialize",
                           reinterpret_cast<void*>(NotedOleUninitialize)),
          shell_("shell32.dll", "ShellExecuteExA", reinterpret_cast<void*>(NotedShellExecuteEx)),
          cookie_(0), exitCode_(-1) {
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

    // Runs the sequence with the window ending with `code` and the shell
    // answering as given; the record.
    std::vector<std::string> Run(INT_PTR code, DWORD shellError = 0, INT_PTR shellCode = 42) {
        g_endWith = code;
        g_shellError = shellError;
        g_shellCode = shellCode;
        g_boxTimer = 0;
        g_boxes = 0;
        g_gameSettings.bloom = 0;
        g_bloomAtWindow = -1;
        g_host = NULL;
        g_hostReferencesAtLaunch = -1;
        ControlSpyClear();
        LauncherApp app;
        exitCode_ = app.Run(GetModuleHandleA(NULL), SW_SHOWNORMAL);
        if (g_boxTimer)
            KillTimer(NULL, g_boxTimer);
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
    int exitCode_;
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
                   "ShellExecuteExA(00000000,open," + cases[i].target + ",,,1,0500)"}),
            tail);
        EXPECT_EQ(0, exitCode_);
        // The launcher let go of its site object before the launch: only the
        // test's own reference is left.
        EXPECT_EQ(1, g_hostReferencesAtLaunch);
    }
    // A window that could not open: nothing to close, no OLE of its own.
    EXPECT_EQ(Calls{"ShellExecuteExA(00000000,open," + statistics + ",,,1,0500)"}, Run(-1));
}

TEST_F(LaunchSequence, AProgramThatFailsToStartSaysWhyUnlessThePlayerCancelled) {
    const struct {
        INT_PTR command;
        DWORD shellError;
        INT_PTR shellCode;
        DWORD shown; // the error the message names; 0: no message
        int exitCode;
    } cases[] = {
        {IDC_PLAY, ERROR_FILE_NOT_FOUND, SE_ERR_FNF, ERROR_FILE_NOT_FOUND, 1},
        {IDC_GAMEPAD, ERROR_BAD_EXE_FORMAT, SE_ERR_ACCESSDENIED, ERROR_BAD_EXE_FORMAT, 1},
        {IDC_PLAY, ERROR_ACCESS_DISABLED_BY_POLICY, SE_ERR_ACCESSDENIED, 1260, 1},
        {IDC_PLAY, ERROR_CANCELLED, SE_ERR_ACCESSDENIED, 0, 1},    // a declined elevation
        {IDC_GAMEPAD, 0, SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION, 1}, // no Windows error left
        {IDC_PLAY, 0, 0, ERROR_INTERNAL_ERROR, 1},                 // no reason at all
        {IDC_CLOSE, ERROR_FILE_NOT_FOUND, SE_ERR_FNF, 0, 0},       // the statistics page
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        const bool game = cases[i].command == IDC_PLAY;
        g_failure =
            game ? "The game could not be started." : "The gamepad tool could not be started.";
        g_failurePath = folder_.path() + (game ? "\\_Varnholt.exe" : "\\xpad.exe");
        g_failureError = cases[i].shown;
        Run(cases[i].command, cases[i].shellError, cases[i].shellCode);
        EXPECT_EQ(cases[i].shown ? 1 : 0, g_boxes);
        EXPECT_EQ(cases[i].exitCode, exitCode_);
    }
}

} // namespace
