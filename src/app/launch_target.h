// What the launcher opens through the shell once its window has closed.
#ifndef LAUNCHER_LAUNCH_TARGET_H
#define LAUNCHER_LAUNCH_TARGET_H

#include <windows.h>

// Opens the target for the launcher window's result code with the shell's
// "open" verb: the game after PLAY, the gamepad tool after GAMEPAD, the
// portal's statistics page otherwise (CLOSE, a close request, or a window
// that never opened). When the game or the gamepad tool cannot be started,
// tells the player why and returns false. The statistics page's outcome is
// not reported: the player asked to close, and the window closed.
bool OpenLaunchTarget(INT_PTR resultCode);

#endif
