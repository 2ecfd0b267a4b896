// The Options dialog: screen resolution and bloom.
#ifndef LAUNCHER_OPTIONS_DIALOG_H
#define LAUNCHER_OPTIONS_DIALOG_H

#include <windows.h>

INT_PTR CALLBACK OptionsDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Fills the dialog's controls from g_gameSettings and g_displayModes.
void FillOptionsDialog(HWND window);

#endif
