#include "web/browser.h"

#include <urlmon.h>

#include "common/system_dll.h"
#include "ui/resource.h"
#include "web/browser_host.h"

BrowserHost* g_browserHost = NULL;

namespace {

// The portal page is fetched over the network and runs inside this process.
// Internet Explorer puts these locks on every page it shows; a program that
// hosts the control gets them only by asking, feature by feature.
const INTERNETFEATURELIST kPageLocks[] = {
    FEATURE_DISABLE_NAVIGATION_SOUNDS,      // no click each time the launcher opens
    FEATURE_RESTRICT_FILEDOWNLOAD,          // no download the player did not start
    FEATURE_RESTRICT_ACTIVEXINSTALL,        // no ActiveX installation
    FEATURE_WEBOC_POPUPMANAGEMENT,          // script pop-ups need a click
    FEATURE_WINDOW_RESTRICTIONS,            // script windows keep their frame, on screen
    FEATURE_ZONE_ELEVATION,                 // no navigation into a more trusted zone
    FEATURE_PROTOCOL_LOCKDOWN,              // protocols locked down per zone
    FEATURE_MIME_HANDLING,                  // content checked against the type it is served as,
    FEATURE_MIME_SNIFFING,                  // and never sniffed into a more dangerous one
    FEATURE_SAFE_BINDTOOBJECT,              // only objects marked safe are bound to
    FEATURE_VALIDATE_NAVIGATE_URL,          // malformed addresses are not navigated to
    FEATURE_HTTP_USERNAME_PASSWORD_DISABLE, // no user:password@ addresses that hide the real host
    FEATURE_BLOCK_INPUT_PROMPTS,            // no script prompt boxes over the launcher
    FEATURE_DISABLE_MK_PROTOCOL,            // mk: reads from files on the machine
    FEATURE_DISABLE_TELNET_PROTOCOL,        // telnet: starts a program
};

typedef HRESULT(WINAPI* SetFeatureFunction)(INTERNETFEATURELIST feature, DWORD flags, BOOL enable);

// The control reads the locks when it starts. They live in urlmon's table for
// the process, not in the registry: nothing of the player's machine changes,
// and they hold only while urlmon stays loaded, so it is never freed.
void LockPortalPage() {
    SetFeatureFunction setFeature = FindFunction<SetFeatureFunction>(LoadSystemDll("urlmon.dll"),
                                                                     "CoInternetSetFeatureEnabled");
    if (!setFeature)
        return;
    // A feature this system does not know fails alone; the others still go on.
    for (size_t i = 0; i < sizeof kPageLocks / sizeof kPageLocks[0]; ++i)
        setFeature(kPageLocks[i], SET_FEATURE_ON_PROCESS, TRUE);
}

} // namespace

void AttachBrowser(HWND dialog) {
    // Any program can send the window a second initialisation; a second host
    // would cover the first, whose control then never closes.
    if (g_browserHost)
        return;
    HWND placeholder = GetDlgItem(dialog, IDC_WEB_PLACEHOLDER);
    LockPortalPage();
    g_browserHost = new BrowserHost;
    g_browserHost->CreateBrowser(placeholder);
}

void DestroyBrowser() {
    BrowserHost* host = g_browserHost;
    if (!host)
        return;
    host->CloseBrowser();
    // The process-wide pointer held the only reference: once it is given up
    // the pointer must not outlive the object.
    g_browserHost = NULL;
    host->Release();
}
