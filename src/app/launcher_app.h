// The launcher's one run from start to the final launch.
#ifndef LAUNCHER_LAUNCHER_APP_H
#define LAUNCHER_LAUNCHER_APP_H

#include <windows.h>

class LauncherApp {
  public:
    virtual ~LauncherApp() {}

    // Loads the settings, lists the display modes, shows the launcher window
    // and, once it has closed and the browser is gone, opens the chosen target.
    // Returns the process's exit code: 1 when the game or the gamepad tool
    // could not be started, 0 otherwise.
    int Run(HINSTANCE instance, int showCommand);
};

#endif
