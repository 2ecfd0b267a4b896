#include <windows.h>
#include <objbase.h>

#include "app/dll_search.h"
#include "app/launcher_app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    // Before anything loads a DLL by name: the game folder is this program's
    // folder and may hold mods named like system DLLs.
    RestrictDllSearch();
    CoInitialize(NULL);
    LauncherApp* app = new LauncherApp;
    int exitCode = app->Run(instance, showCommand);
    delete app;
    CoUninitialize();
    return exitCode;
}
