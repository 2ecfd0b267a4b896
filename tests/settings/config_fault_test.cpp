// A save under faults leaves config.cfg either as it was or fully rewritten,
// never in between, and no temporary file behind: another process holding the
// file, a process killed while it saves, a full disk, and a folder where no
// new file can be created (the file is then rewritten in place).
#include "settings/settings_test_util.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

using settings_test::Bytes;
using settings_test::FilesIn;
using settings_test::OnlyConfig;
using settings_test::Settings;

namespace {

// The content that a save with these settings makes of a file holding the
// four keys and `lines` lines of the game's own.
std::string ConfigWith(const GameSettings& s, int lines) {
    std::string text;
    char line[64];
    std::snprintf(line, sizeof line, "screenWidth = %d\r\nscreenHeight = %d\r\n", s.screenWidth,
                  s.screenHeight);
    text += line;
    for (int i = 0; i < lines; ++i) {
        std::snprintf(line, sizeof line, "gameValue%06d = %d, \xE9t\xE9 %08x\r\n", i, i * 7, i);
        text += line;
    }
    std::snprintf(line, sizeof line, "screenBPP = %d\r\nbloom = %d\r\n", s.screenBPP, s.bloom);
    return text + line;
}

std::string Content(const std::string& path = "config.cfg") {
    std::string bytes;
    EXPECT_TRUE(test::ReadFileBytes(path, &bytes)) << path;
    return bytes;
}

class Process {
  public:
    Process() { ZeroMemory(&info_, sizeof info_); }
    ~Process() {
        if (info_.hProcess) {
            TerminateProcess(info_.hProcess, 1);
            WaitForSingleObject(info_.hProcess, 5000);
            CloseHandle(info_.hProcess);
            CloseHandle(info_.hThread);
        }
    }
    // Runs the saver helper beside the test with these arguments.
    bool Start(const std::string& arguments) {
        std::string command = "\"" + test::ModuleDir() + "\\config_saver.exe\" " + arguments;
        STARTUPINFOA startup;
        ZeroMemory(&startup, sizeof startup);
        startup.cb = sizeof startup;
        return CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                              &info_) != 0;
    }
    void Kill() {
        TerminateProcess(info_.hProcess, 9);
        WaitForSingleObject(info_.hProcess, 10000);
    }
    bool Exited(DWORD timeoutMs, DWORD* code) {
        return WaitForSingleObject(info_.hProcess, timeoutMs) == WAIT_OBJECT_0 &&
               GetExitCodeProcess(info_.hProcess, code);
    }

  private:
    PROCESS_INFORMATION info_;
};

// A named event that the helper signals; unique per test process.
class Signal {
  public:
    explicit Signal(const char* what) {
        std::ostringstream name;
        name << "config_saver_" << GetCurrentProcessId() << "_" << what;
        name_ = name.str();
        handle_ = CreateEventA(NULL, TRUE, FALSE, name_.c_str());
    }
    ~Signal() { CloseHandle(handle_); }
    const std::string& name() const { return name_; }
    bool Wait(DWORD timeoutMs) const {
        return WaitForSingleObject(handle_, timeoutMs) == WAIT_OBJECT_0;
    }
    void Set() { SetEvent(handle_); }
    void Reset() { ResetEvent(handle_); }

  private:
    Signal(const Signal&);
    Signal& operator=(const Signal&);
    std::string name_;
    HANDLE handle_;
};

class ConfigFault : public ::testing::Test {
  protected:
    std::vector<std::string> Files() { return FilesIn(folder_.path()); }
    test::ScopedTempDir folder_;
};

// The saver's arguments: how it starts, then the two settings it alternates.
std::string SaverArguments(const std::string& start, const GameSettings& a, const GameSettings& b) {
    std::ostringstream arguments;
    arguments << start << " " << a.screenWidth << " " << a.screenHeight << " " << a.screenBPP << " "
              << a.bloom << " " << b.screenWidth << " " << b.screenHeight << " " << b.screenBPP
              << " " << b.bloom;
    return arguments.str();
}

SIZE_T PeakMemory() {
    PROCESS_MEMORY_COUNTERS counters;
    counters.cb = sizeof counters;
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)
               ? counters.PeakWorkingSetSize
               : 0;
}

// A config.cfg holding `head`, grown to a gigabyte of zero bytes (a sparse file).
void MakeGigabyteConfig(const std::string& folder, const std::string& head) {
    test::WriteFileBytes("config.cfg", head);
    const std::string path = test::UnixPath(folder + "\\config.cfg");
    ASSERT_FALSE(path.empty());
    ASSERT_TRUE(test::RunUnix("truncate -s 1G '" + path + "'"));
}

// The first bytes of config.cfg, its size and its last four bytes, with "|"
// between them.
std::string Ends(std::size_t headLength) {
    FILE* file = std::fopen("config.cfg", "rb");
    if (!file)
        return "(no file)";
    char head[256], tail[4];
    std::size_t got = std::fread(head, 1, headLength, file);
    _fseeki64(file, -4, SEEK_END);
    std::size_t last = std::fread(tail, 1, 4, file);
    std::ostringstream ends;
    ends << std::string(head, got) << "|" << _ftelli64(file) << "|" << std::string(tail, last);
    std::fclose(file);
    return ends.str();
}

// First in this program, so that the peak memory before it is a small one's.
TEST_F(ConfigFault, AGigabyteFileLoadsAndSavesInTheMemoryOfASmallOne) {
    // The save writes the new gigabyte out in full beside the old one.
    ULARGE_INTEGER free;
    if (GetDiskFreeSpaceExA(".", &free, NULL, NULL) && free.QuadPart < (3ull << 30))
        GTEST_SKIP() << "less than 3 GiB free on this disk";
    MakeGigabyteConfig(folder_.path(), "screenWidth = 800\r\nscreenHeight = 600\r\nbloom = 0\r\n");
    const SIZE_T before = PeakMemory();
    g_gameSettings = Settings(0, 0, 0, 0);
    LoadSettings();
    EXPECT_EQ(Settings(800, 600, 0, 0), g_gameSettings);
    g_gameSettings = Settings(1920, 1080, 32, 1);
    DWORD start = GetTickCount();
    EXPECT_EQ(static_cast<unsigned long>(ERROR_SUCCESS), SaveSettings());
    std::cout << "saving the 1 GB file took " << GetTickCount() - start << " ms\n";
    EXPECT_LT(PeakMemory() - before, 8u << 20) << "the peak working set grew";

    // The zero bytes are one long last line, kept whole with a line break added.
    const std::string head = "screenWidth = 1920\r\nscreenHeight = 1080\r\nbloom = 1\r\n";
    EXPECT_EQ(head + Bytes("\0\0|1073741828|\0\0\r\n"), Ends(head.size() + 2));
    EXPECT_EQ(OnlyConfig(), Files());
}

TEST_F(ConfigFault, FileHeldByTheRunningGameIsLeftAlone) {
    const std::string before = ConfigWith(Settings(800, 600, 16, 0), 3);
    test::WriteFileBytes("config.cfg", before);
    Signal ready("ready"), release("release");
    Process game;
    std::ostringstream arguments;
    arguments << "hold \"" << folder_.path() << "\\config.cfg\" " << FILE_SHARE_READ << " "
              << ready.name() << " " << release.name();
    ASSERT_TRUE(game.Start(arguments.str()));
    ASSERT_TRUE(ready.Wait(20000)) << "the holder did not start";

    g_gameSettings = Settings(1920, 1080, 32, 1);
    SaveSettings();
    EXPECT_EQ(before, Content());
    EXPECT_EQ(OnlyConfig(), Files());

    // Once the game has let go, the same save goes through.
    release.Set();
    DWORD code = 1;
    ASSERT_TRUE(game.Exited(20000, &code));
    EXPECT_EQ(0u, code);
    SaveSettings();
    EXPECT_EQ(ConfigWith(Settings(1920, 1080, 32, 1), 3), Content());
    EXPECT_EQ(OnlyConfig(), Files());
}

TEST_F(ConfigFault, ProcessKilledWhileSavingLeavesTheOldOrTheNewFileWhole) {
    const GameSettings a = Settings(1920, 1080, 32, 1), b = Settings(1024, 768, 16, 0);
    const int lines = 30000; // about 1 MB
    const std::string contentA = ConfigWith(a, lines), contentB = ConfigWith(b, lines);
    test::WriteFileBytes("config.cfg", contentA);

    // How long one save takes here, to spread the kills over several saves.
    DWORD start = GetTickCount();
    for (int i = 0; i < 3; ++i) {
        g_gameSettings = a;
        SaveSettings();
    }
    DWORD save = (GetTickCount() - start) / 3 + 1;
    ASSERT_EQ(contentA, Content());

    Signal saving("saving");
    const std::string arguments = SaverArguments("loop " + saving.name(), b, a);
    const int kills = 24;
    int old = 0, rewritten = 0, cutShort = 0;
    unsigned jitter = GetTickCount();
    for (int i = 0; i < kills; ++i) {
        Process saver;
        saving.Reset();
        ASSERT_TRUE(saver.Start(arguments));
        ASSERT_TRUE(saving.Wait(20000)) << "the saver did not start";
        // Kill moments spread over the first four saves, with some jitter.
        jitter = jitter * 1103515245u + 12345u;
        Sleep(save * i / 4 + (jitter >> 16) % (save + 1));
        saver.Kill();
        const std::string after = Content();
        EXPECT_TRUE(after == contentA || after == contentB)
            << "kill " << i << " left " << after.size() << " bytes";
        (after == contentA ? old : rewritten) += 1;
        if (Files().size() > 1)
            ++cutShort;
    }
    std::cout << "one save " << save << " ms; " << kills << " kills: " << old << " old, "
              << rewritten << " new, " << cutShort << " cut short in the middle of a save\n";
    EXPECT_GT(rewritten, 0) << "no save completed before a kill";

    // The next save goes through and takes the left-over file with it.
    g_gameSettings = b;
    SaveSettings();
    EXPECT_EQ(contentB, Content());
    EXPECT_EQ(OnlyConfig(), Files());
}

TEST_F(ConfigFault, TwoProcessesSavingAtOnceBothSucceedAndTheFileIsAlwaysWhole) {
    const GameSettings versions[] = {Settings(1920, 1080, 32, 1), Settings(1024, 768, 16, 0),
                                     Settings(1280, 1024, 32, 0), Settings(800, 600, 16, 1)};
    std::vector<std::string> whole;
    for (int i = 0; i < 4; ++i)
        whole.push_back(ConfigWith(versions[i], 300)); // about 12 KB
    test::WriteFileBytes("config.cfg", whole[0]);

    Signal go("go");
    Process first, second;
    const std::string start = "rounds " + go.name() + " 150";
    ASSERT_TRUE(first.Start(SaverArguments(start, versions[0], versions[1])));
    ASSERT_TRUE(second.Start(SaverArguments(start, versions[2], versions[3])));
    go.Set();
    // Read over and over while they save, as the game might.
    DWORD firstFailed = 1, secondFailed = 1;
    bool firstDone = false, secondDone = false;
    int reads = 0;
    for (DWORD start = GetTickCount(); !(firstDone && secondDone);) {
        ASSERT_LT(GetTickCount() - start, 100000u) << "the savers did not finish";
        std::string now;
        if (test::ReadFileBytes("config.cfg", &now)) {
            ++reads;
            if (std::find(whole.begin(), whole.end(), now) == whole.end()) {
                ADD_FAILURE() << "read " << reads << " found " << now.size() << " bytes";
                break;
            }
        }
        firstDone = firstDone || first.Exited(0, &firstFailed);
        secondDone = secondDone || second.Exited(0, &secondFailed);
    }
    ASSERT_TRUE(first.Exited(100000, &firstFailed) && second.Exited(100000, &secondFailed));
    std::cout << reads << " whole reads during 300 saves\n";
    EXPECT_EQ(0u, firstFailed) << "saves of the first process that failed";
    EXPECT_EQ(0u, secondFailed) << "saves of the second process that failed";
    // Each process's last save wrote its second settings.
    const std::string last = Content();
    EXPECT_TRUE(last == whole[1] || last == whole[3]);
    EXPECT_EQ(OnlyConfig(), Files());
}

// Runs in one of the tiny filesystems that the fixture mounts around the test.
class TinyFilesystem : public ::testing::Test {
  protected:
    bool Enter(const char* name) {
        std::string root = test::ModuleDir() + "\\settings-faultfs";
        if (!test::FileExists(root + "\\mounted"))
            return false;
        folder_ = root + "\\" + name;
        char cwd[MAX_PATH];
        GetCurrentDirectoryA(MAX_PATH, cwd);
        previous_ = cwd;
        EXPECT_TRUE(SetCurrentDirectoryA(folder_.c_str()));
        return true;
    }
    void TearDown() {
        if (previous_.empty())
            return;
        std::vector<std::string> left = FilesIn(folder_);
        for (std::size_t i = 0; i < left.size(); ++i)
            DeleteFileA(left[i].c_str());
        SetCurrentDirectoryA(previous_.c_str());
    }
    std::vector<std::string> Files() { return FilesIn(folder_); }

    std::string folder_;
    std::string previous_;
};

// Fills the rest of the disk with a file of that name.
void FillDisk(const char* name) {
    HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    const std::string chunk(4096, 'x');
    DWORD written = 1;
    while (written > 0 && WriteFile(file, chunk.data(), 4096, &written, NULL)) {
    }
    CloseHandle(file);
}

TEST_F(TinyFilesystem, FullDiskLeavesTheFileAsItWas) {
    if (!Enter("full"))
        GTEST_SKIP() << "no tiny filesystem: mounting is not allowed on this machine";
    // Whole pages of the disk, and the new values are longer than the old
    // ones: even rewriting the file in place would run out of room.
    std::string before = ConfigWith(Settings(800, 600, 16, 0), 1000);
    std::size_t padding = 4096 - before.size() % 4096;
    const std::string paddingLine =
        "padding = " + std::string(padding < 12 ? padding + 4096 - 12 : padding - 12, '.') + "\r\n";
    before += paddingLine;
    ASSERT_EQ(0u, before.size() % 4096);
    test::WriteFileBytes("config.cfg", before);
    FillDisk("game.dat");
    g_gameSettings = Settings(1920, 1080, 32, 1);
    SaveSettings();
    EXPECT_EQ(before, Content());
    std::vector<std::string> both;
    both.push_back("config.cfg");
    both.push_back("game.dat");
    EXPECT_EQ(both, Files());

    // With room on the disk the same save goes through.
    ASSERT_TRUE(DeleteFileA("game.dat"));
    SaveSettings();
    EXPECT_EQ(ConfigWith(Settings(1920, 1080, 32, 1), 1000) + paddingLine, Content());
    EXPECT_EQ(OnlyConfig(), Files());

    // A gigabyte file (sparse), with no room for its new copy.
    MakeGigabyteConfig(folder_, "screenWidth = 800\r\n");
    g_gameSettings = Settings(1920, 1080, 32, 1);
    EXPECT_NE(static_cast<unsigned long>(ERROR_SUCCESS), SaveSettings());
    EXPECT_EQ(Bytes("screenWidth = 800\r\n|1073741824|\0\0\0\0"), Ends(19));
    EXPECT_EQ(OnlyConfig(), Files());
}

// A file with a second name is rewritten in place. Here the disk has room for
// the new content beside it, one page more than the old, but not for the old
// file to grow by that page as well.
TEST_F(TinyFilesystem, FullDiskLeavesAHardLinkedFileAsItWas) {
    if (!Enter("full"))
        GTEST_SKIP() << "no tiny filesystem: mounting is not allowed on this machine";
    std::string before = ConfigWith(Settings(800, 600, 16, 0), 1000);
    before += "padding = " + std::string(4096 - before.size() % 4096 + 4096 - 12, '.') + "\r\n";
    ASSERT_EQ(0u, before.size() % 4096);
    test::WriteFileBytes("config.cfg", before);
    ASSERT_TRUE(test::RunUnix("cd '" + test::UnixPath(folder_) + "' && ln config.cfg other.cfg"));
    FillDisk("game.dat");
    HANDLE game = CreateFileA("game.dat", GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    LARGE_INTEGER end;
    end.QuadPart = -static_cast<LONGLONG>(before.size() + 4096);
    ASSERT_TRUE(SetFilePointerEx(game, end, NULL, FILE_END) && SetEndOfFile(game));
    CloseHandle(game);

    g_gameSettings = Settings(1920, 1080, 32, 1);
    EXPECT_NE(static_cast<unsigned long>(ERROR_SUCCESS), SaveSettings());
    EXPECT_EQ(before, Content());
    EXPECT_EQ(before, Content("other.cfg"));

    // With room, both names get the new content.
    ASSERT_TRUE(DeleteFileA("game.dat"));
    EXPECT_EQ(static_cast<unsigned long>(ERROR_SUCCESS), SaveSettings());
    const std::string after =
        ConfigWith(Settings(1920, 1080, 32, 1), 1000) + before.substr(before.find("padding"));
    EXPECT_EQ(after, Content());
    EXPECT_EQ(after, Content("other.cfg"));
    std::vector<std::string> both;
    both.push_back("config.cfg");
    both.push_back("other.cfg");
    EXPECT_EQ(both, Files());
}

// No new file fits beside config.cfg, so it is rewritten in place. With the
// disk full as well, a rewrite that does not grow the file goes through; one
// that grows it leaves the old content whole.
TEST_F(TinyFilesystem, FolderWithoutRoomForANewFileIsRewrittenInPlace) {
    if (!Enter("noinode"))
        GTEST_SKIP() << "no tiny filesystem: mounting is not allowed on this machine";
    // The filesystem holds the folder and two files: config.cfg and one more.
    std::string before = ConfigWith(Settings(800, 600, 16, 0), 3);
    const std::string padding =
        "padding = " + std::string(4096 - before.size() % 4096 - 12, '.') + "\r\n";
    before += padding;
    ASSERT_EQ(0u, before.size() % 4096);
    test::WriteFileBytes("config.cfg", before);
    FillDisk("game.dat");
    g_gameSettings = Settings(900, 700, 32, 1);
    EXPECT_EQ(static_cast<unsigned long>(ERROR_SUCCESS), SaveSettings());
    const std::string same = ConfigWith(Settings(900, 700, 32, 1), 3) + padding;
    EXPECT_EQ(same, Content());
    g_gameSettings = Settings(1920, 1080, 32, 1);
    EXPECT_EQ(static_cast<unsigned long>(ERROR_DISK_FULL), SaveSettings());
    EXPECT_EQ(same, Content());
    std::vector<std::string> both;
    both.push_back("config.cfg");
    both.push_back("game.dat");
    EXPECT_EQ(both, Files());

    ASSERT_TRUE(DeleteFileA("game.dat"));
    SaveSettings();
    EXPECT_EQ(ConfigWith(Settings(1920, 1080, 32, 1), 3) + padding, Content());
    EXPECT_EQ(OnlyConfig(), Files());
}

} // namespace
