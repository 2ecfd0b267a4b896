#include "ui/options_dialog.h"

INT_PTR CALLBACK OptionsDialogProc(HWND window, UINT message, WPARAM, LPARAM) {
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_CLOSE) {
        EndDialog(window, 1002);
        return TRUE;
    }
    return FALSE;
}

void FillOptionsDialog(HWND) {}
