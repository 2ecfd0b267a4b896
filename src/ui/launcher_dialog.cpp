#include "ui/launcher_dialog.h"

#include <ole2.h>

#include "ui/center_window.h"
#include "ui/options_dialog.h"
#include "ui/resource.h"
#include "web/browser.h"

bool g_launcherOleInitialized = false;

namespace {

void InitLauncherDialog(HWND window) {
    SetWindowTextA(window, "Varnholt");
    CenterWindowOnScreen(window);
    // S_FALSE (already initialised on this thread) also needs its matching
    // OleUninitialize; only a failure does not. The launch sequence balances
    // one initialisation, so a repeated WM_INITDIALOG must not add another.
    if (!g_launcherOleInitialized && SUCCEEDED(OleInitialize(NULL)))
        g_launcherOleInitialized = true;
    AttachBrowser(window);
}

void OpenOptionsDialog(HWND owner) {
    DialogBoxParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_OPTIONS), owner, OptionsDialogProc,
                    0);
}

} // namespace

INT_PTR CALLBACK LauncherDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        InitLauncherDialog(window);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_PLAY:
        case IDC_CLOSE:
        case IDC_GAMEPAD:
            EndDialog(window, LOWORD(wParam));
            break;
        case IDC_OPTIONS:
            OpenOptionsDialog(window);
            break;
        }
        return TRUE;
    case WM_CLOSE:
        EndDialog(window, IDC_CLOSE);
        return TRUE;
    }
    return FALSE;
}
