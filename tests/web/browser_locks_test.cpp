// The locks the launcher puts on the portal page. urlmon keeps them for the
// process's life, so this program holds one test and starts with urlmon's
// defaults for a program hosting the control.
#include <gtest/gtest.h>

#include <exdisp.h>
#include <urlmon.h>

#include <vector>

#include "ui/launcher_dialog.h"
#include "ui/resource.h"
#include "web/browser.h"
#include "web/control_spy.h"

namespace {

// clang-format off
const INTERNETFEATURELIST kLocks[] = {
    FEATURE_DISABLE_NAVIGATION_SOUNDS, FEATURE_RESTRICT_FILEDOWNLOAD,
    FEATURE_RESTRICT_ACTIVEXINSTALL, FEATURE_WEBOC_POPUPMANAGEMENT, FEATURE_WINDOW_RESTRICTIONS,
    FEATURE_ZONE_ELEVATION, FEATURE_PROTOCOL_LOCKDOWN, FEATURE_MIME_HANDLING, FEATURE_MIME_SNIFFING,
    FEATURE_SAFE_BINDTOOBJECT, FEATURE_VALIDATE_NAVIGATE_URL,
    FEATURE_HTTP_USERNAME_PASSWORD_DISABLE, FEATURE_BLOCK_INPUT_PROMPTS,
    FEATURE_DISABLE_MK_PROTOCOL, FEATURE_DISABLE_TELNET_PROTOCOL};
// clang-format on

// Every feature urlmon knows, on or off for this process.
std::vector<bool> ProcessFeatures() {
    std::vector<bool> on;
    for (int i = 0; i < FEATURE_ENTRY_COUNT; ++i)
        on.push_back(CoInternetIsFeatureEnabled(static_cast<INTERNETFEATURELIST>(i),
                                                GET_FEATURE_FROM_PROCESS) == S_OK);
    return on;
}

std::vector<bool> g_atCreation;

void RecordFeaturesAtCreation() {
    g_atCreation = ProcessFeatures();
}

// An event that any change below the feature-control key sets. The key stays
// open: closing it would end the watch.
HANDLE WatchFeatureControl(HKEY root) {
    HKEY key = NULL;
    HANDLE changed = CreateEventA(NULL, TRUE, FALSE, NULL);
    RegCreateKeyExA(root, "Software\\Microsoft\\Internet Explorer\\Main\\FeatureControl", 0, NULL,
                    0, KEY_NOTIFY, NULL, &key, NULL);
    EXPECT_EQ(ERROR_SUCCESS,
              RegNotifyChangeKeyValue(
                  key, TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE));
    return changed;
}

TEST(PortalPageLocks, AreOnForTheProcessBeforeTheControlIsCreatedAndLeaveTheRegistryAlone) {
    std::vector<bool> before = ProcessFeatures();
    HANDLE userKeys = WatchFeatureControl(HKEY_CURRENT_USER);
    HANDLE machineKeys = WatchFeatureControl(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(SUCCEEDED(OleInitialize(NULL)));
    DWORD cookie = ControlSpyRegister(CLSID_WebBrowser);
    ASSERT_NE(0u, cookie);
    ControlSpyOnCreate(RecordFeaturesAtCreation);

    // The launcher's own initialisation: OLE, the locks, the control.
    HWND dialog = CreateDialogParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_LAUNCHER), NULL,
                                     LauncherDialogProc, 0);
    ASSERT_TRUE(dialog != NULL);
    ASSERT_EQ(before.size(), g_atCreation.size()) << "no control was created";
    size_t offBefore = 0;
    std::vector<bool> expected = before;
    for (size_t i = 0; i < sizeof kLocks / sizeof kLocks[0]; ++i) {
        offBefore += before[kLocks[i]] ? 0 : 1;
        expected[kLocks[i]] = true;
    }
    // Most locks are off in a program that is not the browser; a feature off
    // the list keeps its state.
    EXPECT_GT(offBefore, 10u);
    EXPECT_EQ(expected, g_atCreation);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(userKeys, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(machineKeys, 0));

    DestroyWindow(dialog);
    DestroyBrowser();
    ControlSpyOnCreate(NULL);
    ControlSpyRevoke(cookie);
    if (g_launcherOleInitialized)
        OleUninitialize();
    OleUninitialize();
}

} // namespace
