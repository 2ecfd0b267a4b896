// The real launcher.exe in a game folder, driven through its window.
#include <gtest/gtest.h>

#include <string>

#include "support/launcher_process.h"
#include "support/portal_addresses.h"
#include "support/test_support.h"
#include "ui/resource.h"

namespace {

class LauncherProgram : public test::LauncherInGameFolder {
  protected:
    void SetUp() { Launch(test::BuildDir() + "\\launcher.exe"); }

    // Waits until the tests' http handler has recorded one more URL.
    std::string NextRecordedUrl(size_t before) {
        DWORD start = GetTickCount();
        while (GetTickCount() - start < 10000) {
            std::string urls = test::RecordedUrls();
            if (urls.size() > before) {
                std::string line = urls.substr(before);
                return line.substr(0, line.find('\n'));
            }
            Sleep(20);
        }
        return "";
    }

    void ExpectStatisticsPageOpened(size_t before) {
        EXPECT_EQ(PORTAL_STATS_PAGE_URL, NextRecordedUrl(before));
        EXPECT_FALSE(test::FileExists(Ran("_Varnholt")));
        EXPECT_FALSE(test::FileExists(Ran("xpad")));
    }
};

TEST_F(LauncherProgram, PlayOpensTheGame) {
    size_t urls = test::RecordedUrls().size();
    PostMessageA(window_, WM_COMMAND, MAKEWPARAM(IDC_PLAY, BN_CLICKED), 0);
    EXPECT_EQ(0u, ExitCode());
    EXPECT_TRUE(test::WaitForFile(Ran("_Varnholt"), 10000));
    EXPECT_FALSE(test::FileExists(Ran("xpad")));
    EXPECT_EQ(urls, test::RecordedUrls().size());
}

TEST_F(LauncherProgram, GamepadCommandOpensTheGamepadTool) {
    // The button is hidden; its command is what reaches the window.
    PostMessageA(window_, WM_COMMAND, MAKEWPARAM(IDC_GAMEPAD, BN_CLICKED), 0);
    EXPECT_EQ(0u, ExitCode());
    EXPECT_TRUE(test::WaitForFile(Ran("xpad"), 10000));
    EXPECT_FALSE(test::FileExists(Ran("_Varnholt")));
}

TEST_F(LauncherProgram, CloseOpensTheStatisticsPage) {
    size_t urls = test::RecordedUrls().size();
    PostMessageA(GetDlgItem(window_, IDC_CLOSE), BM_CLICK, 0, 0);
    EXPECT_EQ(0u, ExitCode());
    ExpectStatisticsPageOpened(urls);
}

TEST_F(LauncherProgram, CloseRequestOpensTheStatisticsPage) {
    size_t urls = test::RecordedUrls().size();
    PostMessageA(window_, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, ExitCode());
    ExpectStatisticsPageOpened(urls);
}

} // namespace
