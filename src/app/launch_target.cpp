#include "app/launch_target.h"

#include <shellapi.h>

#include "ui/resource.h"

namespace {

// The portal's statistics page for the game; the scheme and the host are build settings.
const char kStatisticsPage[] =
    LAUNCHER_PORTAL_SCHEME "://" LAUNCHER_PORTAL_HOST "/stats/varnholt.html";

} // namespace

const char* LaunchTargetFor(INT_PTR resultCode) {
    switch (resultCode) {
    case IDC_PLAY:
        return ".\\_Varnholt.exe";
    case IDC_GAMEPAD:
        return ".\\xpad.exe";
    default:
        return kStatisticsPage;
    }
}

void OpenLaunchTarget(const char* target) {
    ShellExecuteA(NULL, "open", target, "", "", SW_SHOWNORMAL);
}
