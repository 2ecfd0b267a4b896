// The real launcher.exe in a game folder, driven through its window.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

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

TEST(LauncherWithoutItsProgram, PlayAndGamepadTellThePlayerAndExitWith1) {
    const int commands[] = {IDC_PLAY, IDC_GAMEPAD};
    const char* const names[] = {"_Varnholt", "xpad"};
    const char* const failures[] = {"The game could not be started.",
                                    "The gamepad tool could not be started."};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(names[i]);
        test::ScopedTempDir folder;
        test::PrepareGameFolder(folder.path());
        const std::string missing = folder.path() + "\\" + names[i] + ".exe";
        ASSERT_TRUE(DeleteFileA(missing.c_str()));
        size_t urls = test::RecordedUrls().size();
        test::ChildProcess launcher;
        ASSERT_TRUE(launcher.Start(test::BuildDir() + "\\launcher.exe", folder.path()));
        HWND window = launcher.WaitForWindow("#32770", "Varnholt", 20000);
        PostMessageA(window, WM_COMMAND, commands[i], 0);
        HWND box = launcher.WaitForWindow("#32770", "Varnholt", 10000, window);
        ASSERT_TRUE(box != NULL) << "no message";
        EXPECT_EQ(std::vector<HWND>(1, box), launcher.VisibleWindows());
        test::ExpectFailureMessage(box, missing, ERROR_FILE_NOT_FOUND, failures[i]);
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        DWORD code = 0;
        EXPECT_TRUE(launcher.WaitForExit(20000, &code) && code == 1) << code;
        EXPECT_FALSE(test::FileExists(std::string(names[1 - i]) + ".ran"));
        EXPECT_EQ(urls, test::RecordedUrls().size());
    }
}

// The test bed's http handler, taken out of the prefix while this lives.
struct NoHttpHandler {
    NoHttpHandler() : size(sizeof command) {
        if (RegQueryValueA(HKEY_CLASSES_ROOT, kKey, command, &size) != ERROR_SUCCESS)
            command[0] = '\0';
        RegDeleteKeyA(HKEY_CLASSES_ROOT, kKey);
    }
    ~NoHttpHandler() {
        if (command[0])
            RegSetValueA(HKEY_CLASSES_ROOT, kKey, REG_SZ, command, 0);
    }
    static const char* const kKey;
    char command[1024];
    LONG size;
};
const char* const NoHttpHandler::kKey = "http\\shell\\open\\command";

TEST_F(LauncherProgram, CloseWithNoProgramForHttpShowsNothingAndExitsWith0) {
    NoHttpHandler noHandler;
    ASSERT_LE(reinterpret_cast<INT_PTR>(
                  ShellExecuteA(NULL, "open", PORTAL_STATS_PAGE_URL, "", "", SW_SHOWNORMAL)),
              32)
        << "the shell still opens http pages: this test could not tell";
    PostMessageA(GetDlgItem(window_, IDC_CLOSE), BM_CLICK, 0, 0);
    int shown = 0; // windows other than the launcher's, seen before it exits
    DWORD code = 12345, start = GetTickCount();
    while (!launcher_.WaitForExit(5, &code) && GetTickCount() - start < 20000)
        shown += launcher_.WaitForWindow(NULL, NULL, 0, window_) != NULL;
    EXPECT_EQ(0, shown);
    EXPECT_EQ(0u, code);
}

} // namespace
