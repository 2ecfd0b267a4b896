// The real launcher.exe in a game folder: the options command opens the
// Options dialog, a resolution and Bloom are picked through its controls and
// OK rewrites config.cfg while the launcher stays open. Runs inside a Wine
// virtual desktop (see options.cmake), whose adapter offers several modes;
// the launcher, started from here, shares the desktop.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>

#include <cstdlib>

#include <algorithm>
#include <string>
#include <vector>

#include "settings/display_modes.h"
#include "support/launcher_process.h"
#include "settings/settings_test_util.h"
#include "support/test_support.h"
#include "ui/resource.h"

namespace {

std::string ModeText(const DisplayMode& mode) {
    char text[64];
    sprintf(text, "%u x %u x %u", mode.width, mode.height, mode.bitsPerPixel);
    return text;
}

// The entries of another process's combo box, in their order. Read as UTF-16:
// Wine hands the ANSI form of this message across processes unconverted.
std::vector<std::string> Entries(HWND combo) {
    std::vector<std::string> entries;
    LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        WCHAR text[256] = L"";
        if (SendMessageW(combo, CB_GETLBTEXTLEN, i, 0) < 256)
            SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        char ansi[256] = "";
        WideCharToMultiByte(CP_ACP, 0, text, -1, ansi, sizeof ansi, NULL, NULL);
        entries.push_back(ansi);
    }
    return entries;
}

std::string CurrentEntry(HWND combo) {
    LRESULT position = SendMessageA(combo, CB_GETCURSEL, 0, 0);
    if (position == CB_ERR)
        return "<none>";
    return Entries(combo)[position];
}

bool WaitUntilGone(HWND window, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (IsWindow(window)) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(20);
    }
    return true;
}

class LauncherOptions : public ::testing::Test {
  protected:
    void SetUp() {
        // The launcher asks the same Direct3D in the same desktop.
        EnumerateDisplayModes();
        ASSERT_GE(g_displayModes.size(), 2u) << "the desktop offers too few modes for this test";

        test::PrepareGameFolder(folder_.path());
        test::WriteFileBytes("config.cfg", "screenWidth = 1024\r\n"
                                           "fullscreen = 1\r\n"
                                           "screenHeight = 768\r\n"
                                           "screenBPP = 32\r\n"
                                           "bloom = 0\r\n"
                                           "playerName = Ada\r\n");
        ASSERT_TRUE(launcher_.Start(test::BuildDir() + "\\launcher.exe", folder_.path()));
        window_ = launcher_.WaitForWindow("#32770", "Varnholt", 20000);
        ASSERT_TRUE(window_ != NULL) << "the launcher window did not show";
    }

    HWND OpenOptions() {
        PostMessageA(window_, WM_COMMAND, MAKEWPARAM(IDC_OPTIONS, BN_CLICKED), 0);
        return launcher_.WaitForWindow("#32770", "Options", 10000);
    }

    // Opens Options, switches Bloom and confirms with OK.
    void SwitchBloomThroughOptions() {
        HWND options = OpenOptions();
        ASSERT_TRUE(options != NULL) << "the Options dialog did not show";
        SendMessageA(GetDlgItem(options, IDC_BLOOM), BM_CLICK, 0, 0);
        // Posted: a message about a failed save would hold a sent click.
        PostMessageA(GetDlgItem(options, IDOK), BM_CLICK, 0, 0);
        ASSERT_TRUE(WaitUntilGone(options, 10000)) << "OK did not close the Options dialog";
    }

    // OK in Options whose save fails: the message that tells the player.
    HWND PressOkForMessage(HWND options) {
        PostMessageA(GetDlgItem(options, IDOK), BM_CLICK, 0, 0);
        return launcher_.WaitForWindow("#32770", "Varnholt", 10000, window_);
    }

    // Runs a shell command in the game folder on the Linux side.
    bool InFolder(const std::string& command) {
        return test::RunUnix("cd '" + test::UnixPath(folder_.path()) + "' && " + command);
    }

    void Close() {
        PostMessageA(window_, WM_COMMAND, MAKEWPARAM(IDC_CLOSE, BN_CLICKED), 0);
        DWORD code = 12345;
        EXPECT_TRUE(launcher_.WaitForExit(20000, &code)) << "the launcher did not exit";
        EXPECT_EQ(0u, code);
    }

    test::ScopedTempDir folder_;
    test::ChildProcess launcher_;
    HWND window_;
};

TEST_F(LauncherOptions, OkSavesThePickedResolutionAndBloomAndTheLauncherStaysOpen) {
    HWND options = OpenOptions();
    ASSERT_TRUE(options != NULL) << "the Options dialog did not show";
    HWND combo = GetDlgItem(options, IDC_RESOLUTION);
    HWND bloom = GetDlgItem(options, IDC_BLOOM);

    // Every offered mode is listed once, and the one from config.cfg is current.
    std::vector<std::string> expected;
    for (size_t i = 0; i < g_displayModes.size(); ++i)
        expected.push_back(ModeText(g_displayModes[i]));
    std::vector<std::string> entries = Entries(combo);
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> sortedEntries = entries;
    std::sort(sortedEntries.begin(), sortedEntries.end());
    EXPECT_EQ(expected, sortedEntries);
    EXPECT_EQ(expected, entries) << "the combo box sorts its entries";
    EXPECT_EQ("1024 x 768 x 32", CurrentEntry(combo));
    EXPECT_EQ(static_cast<LRESULT>(BST_UNCHECKED), SendMessageA(bloom, BM_GETCHECK, 0, 0));

    // The largest offered mode that is not the current one.
    const DisplayMode* pick = NULL;
    for (size_t i = 0; i < g_displayModes.size(); ++i) {
        const DisplayMode& mode = g_displayModes[i];
        if (mode.width == 1024 && mode.height == 768)
            continue;
        if (!pick || mode.width * mode.height > pick->width * pick->height)
            pick = &mode;
    }
    ASSERT_TRUE(pick != NULL);
    std::string pickText = ModeText(*pick);
    LRESULT position =
        SendMessageA(combo, CB_FINDSTRINGEXACT, -1, reinterpret_cast<LPARAM>(pickText.c_str()));
    ASSERT_NE(CB_ERR, position);
    SendMessageA(combo, CB_SETCURSEL, position, 0);
    SendMessageA(options, WM_COMMAND, MAKEWPARAM(IDC_RESOLUTION, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
    SendMessageA(bloom, BM_CLICK, 0, 0);
    EXPECT_EQ(static_cast<LRESULT>(BST_CHECKED), SendMessageA(bloom, BM_GETCHECK, 0, 0));
    SendMessageA(GetDlgItem(options, IDOK), BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitUntilGone(options, 10000)) << "OK did not close the Options dialog";

    std::string config;
    ASSERT_TRUE(test::ReadFileBytes("config.cfg", &config));
    char want[256];
    sprintf(want,
            "screenWidth = %u\r\n"
            "fullscreen = 1\r\n"
            "screenHeight = %u\r\n"
            "screenBPP = 32\r\n"
            "bloom = 1\r\n"
            "playerName = Ada\r\n",
            pick->width, pick->height);
    EXPECT_EQ(want, config);

    DWORD code = 0;
    EXPECT_FALSE(launcher_.WaitForExit(300, &code)) << "the launcher ended with the dialog";
    EXPECT_TRUE(IsWindowVisible(window_));

    // Opened again, the dialog shows what was chosen.
    options = OpenOptions();
    ASSERT_TRUE(options != NULL) << "the Options dialog did not show again";
    EXPECT_EQ(pickText, CurrentEntry(GetDlgItem(options, IDC_RESOLUTION)));
    EXPECT_EQ(static_cast<LRESULT>(BST_CHECKED),
              SendMessageA(GetDlgItem(options, IDC_BLOOM), BM_GETCHECK, 0, 0));
    SendMessageA(GetDlgItem(options, IDCANCEL), BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitUntilGone(options, 10000)) << "Cancel did not close the Options dialog";

    Close();
}

// The file of the fixture after a save with Bloom as given.
std::string SavedConfig(int bloom) {
    char text[160];
    sprintf(text,
            "screenWidth = 1024\r\nfullscreen = 1\r\nscreenHeight = 768\r\nscreenBPP = 32\r\n"
            "bloom = %d\r\nplayerName = Ada\r\n",
            bloom);
    return text;
}

std::string Content(const std::string& path) {
    std::string bytes;
    EXPECT_TRUE(test::ReadFileBytes(path, &bytes)) << path;
    return bytes;
}

TEST_F(LauncherOptions, OkRewritesTheFileThatConfigCfgIsALinkTo) {
    // A chain of symbolic links into another folder: config.cfg, relative, to
    // sync\hop.cfg, absolute, to sync\deep\real.cfg.
    ASSERT_TRUE(InFolder("mkdir -p sync/deep && mv config.cfg sync/deep/real.cfg && "
                         "ln -s \"$PWD/sync/deep/real.cfg\" sync/hop.cfg && "
                         "ln -s sync/hop.cfg config.cfg"));
    SwitchBloomThroughOptions();
    EXPECT_EQ(SavedConfig(1), Content("sync\\deep\\real.cfg"));
    EXPECT_TRUE(InFolder("test -L config.cfg && test -L sync/hop.cfg")) << "a link was replaced";
    EXPECT_EQ(std::vector<std::string>(1, "real.cfg"),
              settings_test::FilesIn(folder_.path() + "\\sync\\deep"));

    // A second hard link: both names see the new content.
    test::WriteFileBytes("sync\\deep\\real.cfg", SavedConfig(1));
    ASSERT_TRUE(InFolder("rm config.cfg && ln sync/deep/real.cfg config.cfg"));
    SwitchBloomThroughOptions();
    EXPECT_EQ(SavedConfig(0), Content("config.cfg"));
    EXPECT_EQ(SavedConfig(0), Content("sync\\deep\\real.cfg"));

    // A link to a file that is missing: nothing is written anywhere, and the
    // player is told.
    ASSERT_TRUE(InFolder("rm config.cfg && ln -s sync/missing.cfg config.cfg"));
    const std::vector<std::string> before = settings_test::FilesIn(folder_.path() + "\\sync");
    HWND options = OpenOptions();
    ASSERT_TRUE(options != NULL) << "the Options dialog did not show";
    HWND box = PressOkForMessage(options);
    ASSERT_TRUE(box != NULL) << "no message";
    test::ExpectFailureMessage(box, folder_.path() + "\\config.cfg", ERROR_FILE_NOT_FOUND);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    EXPECT_FALSE(WaitUntilGone(options, 500)) << "the Options dialog closed";
    SendMessageA(GetDlgItem(options, IDCANCEL), BM_CLICK, 0, 0);
    EXPECT_TRUE(InFolder("test -L config.cfg && test ! -e sync/missing.cfg"));
    EXPECT_EQ(before, settings_test::FilesIn(folder_.path() + "\\sync"));
    Close();
}

TEST_F(LauncherOptions, OkKeepsTheFilesAttributes) {
    // Wine keeps hidden and system in this extended attribute, as the text
    // "0x6" for both (given here in hex, as setfattr takes it: '0' 'x' '6').
    // It reports every file as archive, and keeps no not-content-indexed.
    const struct {
        const char* text;
        const char* hex;
    } cases[] = {{"0x6", "0x307836"}, {"0x2", "0x307832"}};
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(cases[i].text);
        ASSERT_TRUE(
            InFolder(std::string("setfattr -n user.DOSATTRIB -v ") + cases[i].hex + " config.cfg"));
        ASSERT_EQ(FILE_ATTRIBUTE_ARCHIVE | std::strtoul(cases[i].text, NULL, 16),
                  GetFileAttributesA("config.cfg") & kept);
        SwitchBloomThroughOptions();
        EXPECT_EQ(SavedConfig(1 - i), Content("config.cfg"));
        EXPECT_EQ(FILE_ATTRIBUTE_ARCHIVE | std::strtoul(cases[i].text, NULL, 16),
                  GetFileAttributesA("config.cfg") & kept);
    }
    Close();
}

TEST_F(LauncherOptions, OkOnAReadOnlyFileTellsThePlayerAndKeepsTheDialogOpen) {
    const std::string before = Content("config.cfg");
    ASSERT_TRUE(SetFileAttributesA("config.cfg", FILE_ATTRIBUTE_READONLY));
    HWND options = OpenOptions();
    ASSERT_TRUE(options != NULL) << "the Options dialog did not show";
    HWND combo = GetDlgItem(options, IDC_RESOLUTION);
    SendMessageA(combo, CB_SETCURSEL, CurrentEntry(combo) == Entries(combo)[0] ? 1 : 0, 0);
    SendMessageA(GetDlgItem(options, IDC_BLOOM), BM_CLICK, 0, 0);
    HWND box = PressOkForMessage(options);
    ASSERT_TRUE(box != NULL) << "no message";
    EXPECT_EQ(options, GetWindow(box, GW_OWNER));
    test::ExpectFailureMessage(box, folder_.path() + "\\config.cfg", ERROR_FILE_READ_ONLY);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    EXPECT_FALSE(WaitUntilGone(options, 500)) << "the Options dialog closed";
    EXPECT_EQ(before, Content("config.cfg"));

    // With no entry current (as after typing into the field) OK saves the
    // resolution held in memory: the file's again. Bloom stays as its box set it.
    SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    EXPECT_TRUE(SetFileAttributesA("config.cfg", FILE_ATTRIBUTE_NORMAL));
    PostMessageA(GetDlgItem(options, IDOK), BM_CLICK, 0, 0);
    EXPECT_TRUE(WaitUntilGone(options, 10000)) << "OK did not close the Options dialog";
    EXPECT_EQ(SavedConfig(1), Content("config.cfg"));
    Close();
}

// Makes the folder refuse new files and renames while its files stay
// writable (the Linux model of a folder that grants write access on the file
// alone), for the object's life.
class FolderRefusingNewFiles {
  public:
    explicit FolderRefusingNewFiles(const std::string& folder)
        : unix_(test::UnixPath(folder)), set_(test::RunUnix("chattr +i '" + unix_ + "'")) {}
    ~FolderRefusingNewFiles() {
        if (set_)
            test::RunUnix("chattr -i '" + unix_ + "'");
    }
    const std::string unix_;
    const bool set_;
};

TEST_F(LauncherOptions, OkSavesInAFolderThatRefusesNewFiles) {
    ASSERT_TRUE(InFolder("mkdir sync"));
    FolderRefusingNewFiles refusing(folder_.path());
    if (!refusing.set_)
        GTEST_SKIP() << "chattr +i is not allowed here";
    const std::vector<std::string> files = settings_test::FilesIn(folder_.path());
    const std::vector<std::string> inTemp = settings_test::StagedInTemp();
    SwitchBloomThroughOptions();
    EXPECT_EQ(SavedConfig(1), Content("config.cfg"));

    // Hidden, then also with a second name in another folder.
    ASSERT_TRUE(InFolder("setfattr -n user.DOSATTRIB -v 0x307832 config.cfg"));
    SwitchBloomThroughOptions();
    EXPECT_EQ(SavedConfig(0), Content("config.cfg"));
    EXPECT_NE(0u, GetFileAttributesA("config.cfg") & FILE_ATTRIBUTE_HIDDEN);
    ASSERT_TRUE(InFolder("ln config.cfg sync/other.cfg"));
    SwitchBloomThroughOptions();
    EXPECT_EQ(SavedConfig(1), Content("config.cfg"));
    EXPECT_EQ(SavedConfig(1), Content("sync\\other.cfg"));
    EXPECT_NE(0u, GetFileAttributesA("config.cfg") & FILE_ATTRIBUTE_HIDDEN);

    EXPECT_EQ(files, settings_test::FilesIn(folder_.path()));
    EXPECT_EQ(inTemp, settings_test::StagedInTemp());
    Close();
}

TEST(PlantedD3D9, TheLauncherUsesTheSystemsDirect3DNotTheGameFolders) {
    EnumerateDisplayModes();
    ASSERT_FALSE(g_displayModes.empty());

    test::ScopedTempDir folder;
    std::string planted = test::ModuleDir() + "\\planted\\";
    ASSERT_TRUE(CopyFileA((planted + "d3d9.dll").c_str(), "d3d9.dll", FALSE));
    ASSERT_TRUE(CopyFileA((planted + "d3d9_importer.exe").c_str(), "d3d9_importer.exe", FALSE));
    ASSERT_TRUE(CopyFileA((test::BuildDir() + "\\launcher.exe").c_str(), "launcher.exe", FALSE));
    test::PrepareGameFolder(folder.path());
    test::WriteFileBytes("config.cfg", "bloom = 0\r\n");
    const std::vector<std::string> d3d9(1, "d3d9");
    test::PreferFolderDlls importerPrefersFolder("d3d9_importer.exe", d3d9);
    test::PreferFolderDlls launcherPrefersFolder("launcher.exe", d3d9);

    // A program that imports d3d9.dll gets the folder's copy.
    {
        test::ChildProcess importer;
        ASSERT_TRUE(importer.Start(folder.path() + "\\d3d9_importer.exe", folder.path()));
        DWORD code = 1;
        ASSERT_TRUE(importer.WaitForExit(20000, &code));
        ASSERT_TRUE(test::FileExists("d3d9.planted"))
            << "the folder's d3d9.dll was not loaded: this test could not tell";
        DeleteFileA("d3d9.planted");
    }

    // The launcher does not, and still offers the system's modes.
    test::ChildProcess launcher;
    ASSERT_TRUE(launcher.Start(folder.path() + "\\launcher.exe", folder.path()));
    HWND window = launcher.WaitForWindow("#32770", "Varnholt", 20000);
    ASSERT_TRUE(window != NULL) << "the launcher window did not show";
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_OPTIONS, BN_CLICKED), 0);
    HWND options = launcher.WaitForWindow("#32770", "Options", 10000);
    ASSERT_TRUE(options != NULL) << "the Options dialog did not show";
    EXPECT_EQ(static_cast<LRESULT>(g_displayModes.size()),
              SendMessageW(GetDlgItem(options, IDC_RESOLUTION), CB_GETCOUNT, 0, 0));
    SendMessageA(GetDlgItem(options, IDCANCEL), BM_CLICK, 0, 0);
    WaitUntilGone(options, 10000);
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_CLOSE, BN_CLICKED), 0);
    DWORD code = 12345;
    EXPECT_TRUE(launcher.WaitForExit(20000, &code));
    EXPECT_FALSE(test::FileExists("d3d9.planted")) << "the launcher loaded the folder's d3d9.dll";
}

} // namespace
