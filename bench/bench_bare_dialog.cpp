// The launcher's dialog template shown as a bare dialog: no Direct3D, no COM,
// no OLE, no browser. What Wine itself costs to start a program and show this
// window; PLAY opens the game the way the launcher does.
#include <windows.h>
#include <shellapi.h>

#include "ui/resource.h"

namespace {

INT_PTR CALLBACK BareDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_PLAY:
        case IDC_CLOSE:
            EndDialog(window, LOWORD(wParam));
            break;
        }
        return TRUE;
    case WM_CLOSE:
        EndDialog(window, IDC_CLOSE);
        return TRUE;
    }
    return FALSE;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    INT_PTR result = DialogBoxParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_LAUNCHER), NULL,
                                     BareDialogProc, 0);
    if (result == IDC_PLAY)
        ShellExecuteA(NULL, "open", ".\\_Varnholt.exe", "", "", SW_SHOWNORMAL);
    return 0;
}
