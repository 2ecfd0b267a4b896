#include <windows.h>
#include <objbase.h>

#include "app/launcher_app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    CoInitialize(NULL);
    LauncherApp* app = new LauncherApp;
    app->Run(instance, showCommand);
    delete app;
    CoUninitialize();
    return 0;
}
