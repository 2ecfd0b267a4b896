// The launcher window: the portal page, PLAY and CLOSE.
#ifndef LAUNCHER_LAUNCHER_DIALOG_H
#define LAUNCHER_LAUNCHER_DIALOG_H

#include <windows.h>

// Ends with the identifier of the command that closed it: IDC_PLAY,
// IDC_CLOSE (also for a close request) or IDC_GAMEPAD.
INT_PTR CALLBACK LauncherDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Set when the window's initialisation initialised OLE, so that the launch
// sequence uninitialises it exactly once, and only then.
extern bool g_launcherOleInitialized;

#endif
