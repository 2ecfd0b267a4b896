// DLLs planted in the game folder under system names (built from
// planted_system_dll.c): which file a program there gets for a bare-name load,
// with the launcher's start-up step, with its fallback and without either, and
// what the game started by the real launcher.exe through PLAY gets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/launcher_process.h"
#include "support/test_support.h"
#include "ui/resource.h"

namespace {

// The fallback preloads the first two; the last stands for the names it
// leaves out.
const char* const kPlanted[] = {"version", "winmm", "dinput8"};

class PlantedSystemDlls : public test::LauncherInGameFolder {
  protected:
    PlantedSystemDlls() : planted_(kPlanted, kPlanted + 3) {}

    void SetUp() {
        for (size_t i = 0; i < planted_.size(); ++i) {
            std::string dll = "\\" + planted_[i] + ".dll";
            ASSERT_TRUE(CopyFileA((test::ModuleDir() + "\\planted_system" + dll).c_str(),
                                  (folder_.path() + dll).c_str(), FALSE));
        }
    }

    // Puts the probe program into the game folder as NAME.exe.
    void AddProbe(const std::string& name) {
        ASSERT_TRUE(CopyFileA((test::ModuleDir() + "\\dll_probe.exe").c_str(),
                              (folder_.path() + "\\" + name + ".exe").c_str(), FALSE));
    }

    // Runs the probe NAME.exe with the planted copies preferred, as Windows
    // prefers them, and returns the files it got.
    std::string RunProbe(const std::string& name, const char* windowsVersion = NULL) {
        AddProbe(name);
        test::PreferFolderDlls prefer(name + ".exe", planted_, windowsVersion);
        test::ChildProcess probe;
        EXPECT_TRUE(probe.Start(folder_.path() + "\\" + name + ".exe", folder_.path()));
        DWORD code = 1;
        EXPECT_TRUE(probe.WaitForExit(20000, &code));
        EXPECT_EQ(0u, code);
        return LoadedBy(name);
    }

    std::string LoadedBy(const std::string& name) {
        std::string files;
        test::ReadFileBytes(folder_.path() + "\\" + name + ".dlls", &files);
        return Lowercase(files);
    }

    // The planted DLLs' files as the probe writes them: those that the
    // fallback preloads from the first folder, the other from the second.
    std::string Files(const std::string& preloaded, const std::string& other) {
        std::string files;
        for (size_t i = 0; i < planted_.size(); ++i)
            files += (i < 2 ? preloaded : other) + "\\" + planted_[i] + ".dll\n";
        return Lowercase(files);
    }

    static std::string Lowercase(std::string text) {
        CharLowerBuffA(&text[0], static_cast<DWORD>(text.size()));
        return text;
    }

    std::string SystemFolder() {
        char folder[MAX_PATH];
        GetSystemDirectoryA(folder, MAX_PATH);
        return folder;
    }

    std::vector<std::string> planted_;
};

TEST_F(PlantedSystemDlls, OnlyTheStartUpStepKeepsThemOutOfTheProcess) {
    const std::string folder = folder_.path();
    const std::string system = SystemFolder();
    ASSERT_EQ(Files(folder, folder), RunProbe("plain"))
        << "the planted copies were not loaded: this test could not tell";
    EXPECT_EQ(Files(system, system), RunProbe("restrict"));
    EXPECT_EQ(Files(system, folder), RunProbe("preload"));
    // On Vista the fallback stands in for the limit.
    EXPECT_EQ(Files(system, folder), RunProbe("restrict-on-vista", "vista"));
}

TEST_F(PlantedSystemDlls, TheGameStartedThroughPlayStillLoadsThem) {
    std::string launcher = folder_.path() + "\\launcher.exe";
    ASSERT_TRUE(CopyFileA((test::BuildDir() + "\\launcher.exe").c_str(), launcher.c_str(), FALSE));
    Launch(launcher);
    if (HasFatalFailure())
        return;
    AddProbe("_Varnholt");
    test::PreferFolderDlls prefer("_Varnholt.exe", planted_);

    PostMessageA(window_, WM_COMMAND, MAKEWPARAM(IDC_PLAY, BN_CLICKED), 0);
    EXPECT_EQ(0u, ExitCode());
    ASSERT_TRUE(test::WaitForFile(folder_.path() + "\\_Varnholt.dlls", 20000));
    EXPECT_EQ(Files(folder_.path(), folder_.path()), LoadedBy("_Varnholt"));
}

} // namespace
