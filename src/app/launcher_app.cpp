#include "app/launcher_app.h"

#include <ole2.h>

#include "app/launch_target.h"
#include "settings/display_modes.h"
#include "settings/game_settings.h"
#include "ui/launcher_dialog.h"
#include "ui/resource.h"
#include "web/browser.h"

int LauncherApp::Run(HINSTANCE, int) {
    LoadSettings();
    EnumerateDisplayModes();

    INT_PTR result = DialogBoxParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_LAUNCHER), NULL,
                                     LauncherDialogProc, 0);

    // The control can only be closed while OLE is still up; and the launcher
    // lets go of both before it hands over to the target.
    DestroyBrowser();
    if (g_launcherOleInitialized) {
        OleUninitialize();
        g_launcherOleInitialized = false;
    }
    // Whatever started the launcher (a store client, a script) learns of a
    // program that did not start, as the player does.
    return OpenLaunchTarget(result) ? 0 : 1;
}
