// Runs a real modal dialog from the program's resources on the test's thread
// and drives it from inside its own modal loop, the way a player would reach
// it: by messages and input that arrive while the dialog manager runs.
#ifndef LAUNCHER_TEST_DIALOG_DRIVER_H
#define LAUNCHER_TEST_DIALOG_DRIVER_H

#include <windows.h>

#include <functional>

namespace test {

// Opens the template with the procedure and, once its window is visible,
// calls drive(window) from a timer inside the modal loop. Returns what
// DialogBoxParamA returned, or -2 when the dialog was still open after the
// timeout (it is then ended with -2).
INT_PTR RunDialog(int templateId, DLGPROC procedure, HWND owner,
                  const std::function<void(HWND)>& drive, DWORD timeoutMs = 10000);

// The visible dialog window (#32770) of this thread with the given title
// (NULL: any) other than `except`; NULL when there is none.
HWND FindThreadDialog(const char* title, HWND except = NULL);

// Lets the window's thread handle the messages that are already queued.
void Settle(DWORD milliseconds = 50);

} // namespace test

#endif
