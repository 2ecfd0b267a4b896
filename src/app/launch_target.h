// What the launcher opens through the shell once its window has closed.
#ifndef LAUNCHER_LAUNCH_TARGET_H
#define LAUNCHER_LAUNCH_TARGET_H

#include <windows.h>

// The target for the launcher window's result code: the game after PLAY, the
// gamepad tool after GAMEPAD, the portal's statistics page otherwise
// (CLOSE, a close request, or a window that never opened).
const char* LaunchTargetFor(INT_PTR resultCode);

// Opens the target with the shell's "open" verb; the outcome is not reported.
void OpenLaunchTarget(const char* target);

#endif
