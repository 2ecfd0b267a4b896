// The launch sequence when the launcher window cannot open: this program
// carries none of the launcher's resources, so its template is missing.
#include <gtest/gtest.h>

#include <ole2.h>

#include <string>

#include "app/launcher_app.h"
#include "support/portal_addresses.h"
#include "support/launcher_process.h"
#include "support/test_support.h"
#include "web/browser.h"

namespace {

TEST(LaunchSequence, WindowThatCannotOpenLeavesOleAloneAndOpensTheStatisticsPage) {
    test::ScopedTempDir folder;
    test::PrepareGameFolder(folder.path());
    size_t before = test::RecordedUrls().size();

    // OLE held by someone else on this thread: the sequence, which never
    // initialised it, must not take it away.
    ASSERT_EQ(S_OK, OleInitialize(NULL));
    LauncherApp* app = new LauncherApp;
    app->Run(GetModuleHandleA(NULL), SW_SHOWNORMAL);
    delete app;
    EXPECT_EQ(S_FALSE, OleInitialize(NULL))
        << "the sequence uninitialised OLE it had not initialised";
    OleUninitialize();
    OleUninitialize();

    EXPECT_TRUE(g_browserHost == NULL);
    std::string urls;
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(20)) {
        urls = test::RecordedUrls();
        if (urls.size() > before)
            break;
    }
    ASSERT_GT(urls.size(), before) << "nothing was opened";
    EXPECT_EQ(std::string(PORTAL_STATS_PAGE_URL) + "\n", urls.substr(before));
    EXPECT_FALSE(test::FileExists(folder.path() + "\\_Varnholt.ran"));
    EXPECT_FALSE(test::FileExists(folder.path() + "\\xpad.ran"));
}

} // namespace
