#include "app/launch_target.h"

#include <shellapi.h>

#include "app/portal.h"
#include "ui/resource.h"

const char* LaunchTargetFor(INT_PTR resultCode) {
    switch (resultCode) {
    case IDC_PLAY:
        return ".\\_Varnholt.exe";
    case IDC_GAMEPAD:
        return ".\\xpad.exe";
    default:
        return PORTAL_STATS_PAGE_URL;
    }
}

void OpenLaunchTarget(const char* target) {
    ShellExecuteA(NULL, "open", target, "", "", SW_SHOWNORMAL);
}
