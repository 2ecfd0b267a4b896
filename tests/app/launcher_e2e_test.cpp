// The real launcher.exe in a game folder, driven through its window.
#include <gtest/gtest.h>

#include "support/launcher_process.h"
#include "support/test_support.h"
#include "ui/resource.h"

namespace {

class LauncherProgram : public ::testing::Test {
  protected:
    void SetUp() {
        test::PrepareGameFolder(folder_.path());
        ASSERT_TRUE(launcher_.Start(test::BuildDir() + "\\launcher.exe", folder_.path()));
        window_ = launcher_.WaitForWindow("#32770", "Varnholt", 20000);
        ASSERT_TRUE(window_ != NULL) << "the launcher window did not show";
    }

    // Waits for the launcher to exit and returns its exit code.
    DWORD ExitCode() {
        DWORD code = 12345;
        EXPECT_TRUE(launcher_.WaitForExit(20000, &code)) << "the launcher did not exit";
        return code;
    }

    std::string Ran(const char* name) { return folder_.path() + "\\" + name + ".ran"; }

    test::ScopedTempDir folder_;
    test::ChildProcess launcher_;
    HWND window_;
};

TEST_F(LauncherProgram, PlayOpensTheGame) {
    PostMessageA(window_, WM_COMMAND, MAKEWPARAM(IDC_PLAY, BN_CLICKED), 0);
    EXPECT_EQ(0u, ExitCode());
    EXPECT_TRUE(test::WaitForFile(Ran("_Varnholt"), 10000));
    EXPECT_FALSE(test::FileExists(Ran("xpad")));
}

} // namespace
