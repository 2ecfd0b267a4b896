// Telling the player why something they asked for did not happen.
#ifndef LAUNCHER_PLAYER_MESSAGE_H
#define LAUNCHER_PLAYER_MESSAGE_H

#include <windows.h>

// Shows one message box captioned "Varnholt" with an OK button: what failed,
// the full path of the file `name` in the current folder, the system's reason
// for `error` in the player's language, and the error number for the support
// desk. `style` adds the icon and any placement flags. Returns once the
// player has dismissed the box.
void ShowFailure(HWND owner, UINT style, const wchar_t* what, const wchar_t* name, DWORD error);

#endif
