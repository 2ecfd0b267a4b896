// DLLs planted in the game folder under system names (built from
// planted_system_dll.c): which file a program there gets for a bare-name load
// or for an import of a system DLL loaded by its full path, with the
// launcher's start-up step, with its fallback and without either, and what the
// game started by the real launcher.exe through PLAY gets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/launcher_process.h"
#include "support/test_support.h"
#include "ui/resource.h"

namespace {

// The fallback keeps the first three out: it preloads two, and the third is
// an import of urlmon, which the launcher loads by its full path. The last
// stands for the names it leaves out.
const char* const kPlanted[] = {"version", "winmm", "wininet", "dinput8"};

class PlantedSystemDlls : public test::LauncherInGameFolder {
  protected:
    PlantedSystemDlls() : planted_(kPlanted, kPlanted + 4) {}

    void SetUp() {
        for (size_t i = 0; i < planted_.size(); ++i)
            Copy(test::ModuleDir() + "\\planted_system", planted_[i] + ".dll");
    }

    // Copies the file into the game folder under the name.
    void Copy(const std::string& fromFolder, const std::string& file,
              const std::string& name = "") {
        ASSERT_TRUE(CopyFileA((fromFolder + "\\" + file).c_str(),
                              (folder_.path() + "\\" + (name.empty() ? file : name)).c_str(),
                              FALSE));
    }

    // Runs the probe as NAME.exe with the planted copies preferred, as Windows
    // prefers them, and returns the files it got.
    std::string RunProbe(const std::string& name, const char* windowsVersion = NULL) {
        Copy(test::ModuleDir(), "dll_probe.exe", name + ".exe");
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
        return files;
    }

    // The planted DLLs' files as the probe writes them: those that the
    // fallback keeps out from the first folder, the other from the second.
    std::string Files(const std::string& preloaded, const std::string& other) {
        std::string files;
        for (size_t i = 0; i < planted_.size(); ++i)
            files += (i < 3 ? preloaded : other) + "\\" + planted_[i] + ".dll\n";
        return files;
    }

    std::vector<std::string> planted_;
};

TEST_F(PlantedSystemDlls, OnlyTheStartUpStepKeepsThemOutOfTheProcess) {
    const std::string folder = folder_.path();
    char system[MAX_PATH];
    ASSERT_NE(0u, GetSystemDirectoryA(system, MAX_PATH));
    ASSERT_STRCASEEQ(Files(folder, folder).c_str(), RunProbe("plain").c_str())
        << "the planted copies were not loaded: this test could not tell";
    EXPECT_STRCASEEQ(Files(system, system).c_str(), RunProbe("restrict").c_str());
    EXPECT_STRCASEEQ(Files(system, folder).c_str(), RunProbe("preload").c_str());
    // On Vista the fallback stands in for the limit.
    EXPECT_STRCASEEQ(Files(system, folder).c_str(), RunProbe("restrict-on-vista", "vista").c_str());
}

TEST_F(PlantedSystemDlls, TheGameStartedThroughPlayStillLoadsThem) {
    Copy(test::BuildDir(), "launcher.exe");
    Launch(folder_.path() + "\\launcher.exe");
    if (HasFatalFailure())
        return;
    Copy(test::ModuleDir(), "dll_probe.exe", "_Varnholt.exe");
    test::PreferFolderDlls prefer("_Varnholt.exe", planted_);

    PostMessageA(window_, WM_COMMAND, MAKEWPARAM(IDC_PLAY, BN_CLICKED), 0);
    EXPECT_EQ(0u, ExitCode());
    ASSERT_TRUE(test::WaitForFile(folder_.path() + "\\_Varnholt.dlls", 20000));
    EXPECT_STRCASEEQ(Files(folder_.path(), folder_.path()).c_str(), LoadedBy("_Varnholt").c_str());
}

} // namespace
