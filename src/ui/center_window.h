#ifndef LAUNCHER_CENTER_WINDOW_H
#define LAUNCHER_CENTER_WINDOW_H

#include <windows.h>

// Moves the window to the centre of the primary screen, keeping its size.
void CenterWindowOnScreen(HWND window);

#endif
