// LoadSettings and SaveSettings on real files in a temporary game folder,
// checked byte for byte.
#include "settings/settings_test_util.h"

#include <cstdio>
#include <string>

using settings_test::Bytes;
using settings_test::FilesIn;
using settings_test::LoadedFrom;
using settings_test::OnlyConfig;
using settings_test::SavedFrom;
using settings_test::Settings;
using settings_test::Untouched;

namespace {

class ConfigFile : public ::testing::Test {
  protected:
    std::string Content() {
        std::string bytes;
        EXPECT_TRUE(test::ReadFileBytes("config.cfg", &bytes));
        return bytes;
    }
    std::vector<std::string> Files() { return FilesIn(folder_.path()); }

    test::ScopedTempDir folder_;
};

// A pattern that shows any byte lost, moved or doubled.
std::string Text(std::size_t length, char first = 'a') {
    std::string text;
    for (std::size_t i = 0; i < length; ++i)
        text += static_cast<char>(first + i % 26);
    return text;
}

TEST_F(ConfigFile, RewritesOnlyTheKeyLinesOfTheExampleFile) {
    const std::string before = "screenWidth = 1024\r\nfullscreen = 1\r\n"
                               "screenHeight = 768\r\nbloom = 0\r\n";
    GameSettings loaded = Untouched();
    loaded.screenWidth = 1024;
    loaded.screenHeight = 768;
    loaded.bloom = 0;
    EXPECT_EQ(loaded, LoadedFrom(before));
    // No screenBPP line appears although it is 32 in memory.
    const std::string after = "screenWidth = 1920\r\nfullscreen = 1\r\n"
                              "screenHeight = 1080\r\nbloom = 1\r\n";
    EXPECT_EQ(after, SavedFrom(before, Settings(1920, 1080, 32, 1)));
    EXPECT_EQ(OnlyConfig(), Files());
    // The reader also takes a line feed alone; the writer always writes CR LF.
    EXPECT_EQ(after, SavedFrom("screenWidth = 1024\nfullscreen = 1\n"
                               "screenHeight = 768\nbloom = 0\n",
                               Settings(1920, 1080, 32, 1)));
}

TEST_F(ConfigFile, WhatASaveWritesReadsBackWithinTheDigitLimits) {
    const std::string before =
        "screenBPP = 1\r\nbloom = 1\r\nscreenHeight = 1\r\nscreenWidth = 1\r\n";
    const GameSettings fitting[] = {Settings(1920, 1080, 32, 1), Settings(9999, -999, 99, -9),
                                    Settings(0, 0, 0, 0), Settings(640, 480, 16, 0)};
    for (std::size_t i = 0; i < sizeof fitting / sizeof fitting[0]; ++i) {
        const GameSettings& s = fitting[i];
        std::string saved = SavedFrom(before, s);
        char expected[200];
        std::snprintf(expected, sizeof expected,
                      "screenBPP = %d\r\nbloom = %d\r\nscreenHeight = %d\r\nscreenWidth = %d\r\n",
                      s.screenBPP, s.bloom, s.screenHeight, s.screenWidth);
        EXPECT_EQ(expected, saved);
        EXPECT_EQ(s, LoadedFrom(saved));
    }
    // Longer numbers are written whole and read back cut to the column width.
    std::string saved = SavedFrom(before, Settings(12345, -1000, 100, -10));
    EXPECT_EQ(Settings(1234, -100, 10, -1), LoadedFrom(saved));
}

struct ColumnCase {
    const char* file;
    int GameSettings::*field;
    int value; // kUntouched: the load must not set the field
};
const int kUntouched = 123456;

TEST_F(ConfigFile, ReadsValuesFromTheFixedColumns) {
    const ColumnCase cases[] = {
        {"screenWidth = 1920\r\n", &GameSettings::screenWidth, 1920},
        {"screenWidth=1920\r\n", &GameSettings::screenWidth, 20},
        {"screenWidth = 19201\r\n", &GameSettings::screenWidth, 1920},
        {"screenWidthXYZ1920\r\n", &GameSettings::screenWidth, 1920},
        {"screenWidth = -123\r\n", &GameSettings::screenWidth, -123},
        {"screenWidth = +640\r\n", &GameSettings::screenWidth, 640},
        {"screenWidth =  12\r\n", &GameSettings::screenWidth, 12},
        {"screenWidth =     7\r\n", &GameSettings::screenWidth, 0},
        {"screenWidth = 1x99\r\n", &GameSettings::screenWidth, 1},
        {"screenWidth = 1920", &GameSettings::screenWidth, 1920},
        {"screenHeight = 1080\r\n", &GameSettings::screenHeight, 1080},
        {"screenHeight = 720\r\n", &GameSettings::screenHeight, 720},
        {"screenBPP = 32\r\n", &GameSettings::screenBPP, 32},
        {"screenBPP = 325\r\n", &GameSettings::screenBPP, 32},
        {"bloom = 1\n", &GameSettings::bloom, 1},
        {"bloom = -1\r\n", &GameSettings::bloom, -1},
        {"bloomStrength = 3\r\n", &GameSettings::bloom, 0},
        {"bloom = \xE9\xFF\r\n", &GameSettings::bloom, 0},
        // Lines that end at or before the value column: an empty value.
        {"screenWidth = \r\n", &GameSettings::screenWidth, 0},
        {"screenWidth =\r\n", &GameSettings::screenWidth, 0},
        {"screenWidth\r\n", &GameSettings::screenWidth, 0},
        {"bloom = ", &GameSettings::bloom, 0},
        // A bare key at the end of the file, and case counts.
        {"screenWidth", &GameSettings::screenWidth, kUntouched},
        {"Bloom = 1\r\n", &GameSettings::bloom, kUntouched},
    };
    for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(cases[i].file);
        GameSettings expected = Untouched();
        if (cases[i].value != kUntouched)
            expected.*cases[i].field = cases[i].value;
        EXPECT_EQ(expected, LoadedFrom(cases[i].file));
    }
}

TEST_F(ConfigFile, KeepsOtherLinesInOrderAndAddsNoKey) {
    const std::string before = "# Varnholt\r\nfullscreen = 1\r\nbloomy = 5\r\nBloom = 1\r\n"
                               "screenWidth = 800\r\nbloomStrength = 3\r\nscreenWidth = 640\r\n";
    // The last line of a key wins.
    EXPECT_EQ(Settings(640, -7002, -7003, 0), LoadedFrom(before));
    // Every line of a key is rewritten, 'bloomy' and 'bloomStrength' as bloom.
    EXPECT_EQ("# Varnholt\r\nfullscreen = 1\r\nbloom = 1\r\nBloom = 1\r\n"
              "screenWidth = 1024\r\nbloom = 1\r\nscreenWidth = 1024\r\n",
              SavedFrom(before, Settings(1024, 768, 32, 1)));
}

TEST_F(ConfigFile, LineEndsAndTheLastLine) {
    // A carriage return that no line feed follows is text, so the bloom text
    // below is part of the fullscreen line and the height part of the width's.
    const std::string lone = "fullscreen = 1\rbloom = 1\r\nscreenWidth = 800\rscreenHeight = 600\n"
                             "tabs\r\r\ngame\r";
    EXPECT_EQ(Settings(800, -7002, -7003, -7004), LoadedFrom(lone));
    EXPECT_EQ("fullscreen = 1\rbloom = 1\r\nscreenWidth = 1\r\ntabs\r\r\ngame\r\r\n",
              SavedFrom(lone, Settings(1, 2, 3, 4)));

    // A last line without line break comes out whole, with one.
    EXPECT_EQ("fullscreen = 1\r\nwindowed\r\n",
              SavedFrom("fullscreen = 1\r\nwindowed", Settings(1, 2, 3, 4)));
    EXPECT_EQ("fullscreen = 1\r\nbloom = 4\r\n",
              SavedFrom("fullscreen = 1\r\nbloom = 0", Settings(1, 2, 3, 4)));
    EXPECT_EQ(Settings(-7001, -7002, -7003, 0), LoadedFrom("fullscreen = 1\r\nbloom = 0"));
}

TEST_F(ConfigFile, BlankAndShortLinesMatchNoKey) {
    EXPECT_EQ(Settings(1024, 768, 32, 1),
              LoadedFrom("screenWidth = 1024\r\nscreenHeight = 768\r\nscreenBPP = 32\r\n"
                         "bloom = 1\r\n\r\n"));
    EXPECT_EQ(Untouched(), LoadedFrom("\n"));
    EXPECT_EQ(Untouched(), LoadedFrom("s\r\nscreen\r\nbloo\r\n\r\n"));

    const std::string shortLines = "\r\ns\r\nscreen\r\nbloo\r\nbloom = 0\r\n\r\n";
    EXPECT_EQ("\r\ns\r\nscreen\r\nbloo\r\nbloom = 4\r\n\r\n",
              SavedFrom(shortLines, Settings(1, 2, 3, 4)));
}

TEST_F(ConfigFile, LongLinesComeBackWholeAndAreReadInPieces) {
    const std::size_t lengths[] = {258, 259, 260, 261, 518, 600};
    std::string before = "screenWidth = 1\r\n";
    for (std::size_t i = 0; i < sizeof lengths / sizeof lengths[0]; ++i)
        before += Text(lengths[i], static_cast<char>('A' + i)) + "\r\n";
    before += "bloom = 1\r\n";
    EXPECT_EQ("screenWidth = 800\r\n" + before.substr(17, before.size() - 17 - 11) +
                  "bloom = 0\r\n",
              SavedFrom(before, Settings(800, 600, 16, 0)));
    // The empty piece after a line of 259 characters is no setting.
    EXPECT_EQ(Settings(1, -7002, -7003, 1), LoadedFrom(before));

    // The reader takes a line in pieces of 259 characters: a key at the start
    // of a later piece is read, so the save splits the line there and
    // rewrites that piece; a key anywhere else in the line is text.
    const std::string hidden = Text(259) + "screenHeight = 1234\r\n" + Text(258) + "bloom = 7\r\n";
    EXPECT_EQ(Settings(-7001, 1234, -7003, -7004), LoadedFrom(hidden));
    const std::string split =
        Text(259) + "\r\nscreenHeight = 1080\r\n" + Text(258) + "bloom = 7\r\n";
    EXPECT_EQ(split, SavedFrom(hidden, Settings(1920, 1080, 32, 1)));
    EXPECT_EQ(Settings(-7001, 1080, -7003, -7004), LoadedFrom(split));

    // An over-long key line: its first piece is the setting, the rest is
    // kept as the line of its own that the reader takes it for.
    std::string keyLine = "screenWidth = 1920 ";
    keyLine += Text(259 - keyLine.size());
    const std::string tail = Text(350, 'k');
    EXPECT_EQ(Settings(1920, -7002, -7003, -7004), LoadedFrom(keyLine + tail + "\r\n"));
    EXPECT_EQ("screenWidth = 1024\r\n" + tail + "\r\n",
              SavedFrom(keyLine + tail + "\r\n", Settings(1024, 768, 32, 1)));
    std::string bloomLine = "bloom = 1";
    bloomLine += Text(259 - bloomLine.size());
    const std::string keyTail = bloomLine + "screenHeight = 900 " + Text(20) + "\r\n";
    EXPECT_EQ(Settings(-7001, 900, -7003, 1), LoadedFrom(keyTail));
    EXPECT_EQ("bloom = 0\r\nscreenHeight = 768\r\n",
              SavedFrom(keyTail, Settings(1024, 768, 32, 0)));
}

TEST_F(ConfigFile, ZeroBytesCtrlZAndHighBytesSurvive) {
    const std::string before = Bytes("name = Bj\xF6rn \xE9\xFF\r\n"
                                     "data\0more\r\n"
                                     "\x1A\r\n"
                                     "a\x1A"
                                     "b\r\n"
                                     "screenWidth = 12\0 34\r\n"
                                     "bloom\0 = 1\r\n"
                                     "screenHeight = 600\r\n");
    // A zero byte ends what the reader sees of a line; a Ctrl-Z is text.
    EXPECT_EQ(Settings(12, 600, -7003, -7004), LoadedFrom(before));
    const std::string after = Bytes("name = Bj\xF6rn \xE9\xFF\r\n"
                                    "data\0more\r\n"
                                    "\x1A\r\n"
                                    "a\x1A"
                                    "b\r\n"
                                    "screenWidth = 1\r\n"
                                    "bloom = 4\r\n"
                                    "screenHeight = 2\r\n");
    EXPECT_EQ(after, SavedFrom(before, Settings(1, 2, 3, 4)));
}

TEST_F(ConfigFile, MissingFileBecomesEmptyAndLeavesSettingsAtLoad) {
    g_gameSettings = Untouched();
    LoadSettings();
    EXPECT_EQ(Untouched(), g_gameSettings);
    g_gameSettings = Settings(1024, 768, 32, 1);
    SaveSettings();
    EXPECT_EQ("", Content());
    EXPECT_EQ(OnlyConfig(), Files());
}

// config.cfg open in another handle, as the running game may hold it.
class HeldFile {
  public:
    HeldFile(DWORD access, DWORD share)
        : handle_(CreateFileA("config.cfg", access, share, NULL, OPEN_EXISTING, 0, NULL)) {}
    ~HeldFile() { Release(); }
    bool held() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE handle() const { return handle_; }
    void Release() {
        if (held())
            CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

  private:
    HANDLE handle_;
};

TEST_F(ConfigFile, ReadOnlyFileIsLeftAlone) {
    const std::string before = "screenWidth = 800\r\n";
    test::WriteFileBytes("config.cfg", before);
    ASSERT_TRUE(SetFileAttributesA("config.cfg", FILE_ATTRIBUTE_READONLY));
    // Also when another handle keeps it from being opened for writing anyway:
    // the attribute is what the player can act on.
    const struct {
        const char* what;
        bool held;
        DWORD share;
    } holders[] = {{"not held", false, 0},
                   {"held, nobody else may open it", true, 0},
                   {"held, others may only read", true, FILE_SHARE_READ}};
    for (std::size_t i = 0; i < sizeof holders / sizeof holders[0]; ++i) {
        SCOPED_TRACE(holders[i].what);
        HeldFile holder(GENERIC_READ, holders[i].share);
        ASSERT_TRUE(holder.held());
        if (!holders[i].held)
            holder.Release();
        g_gameSettings = Settings(1024, 768, 32, 1);
        EXPECT_EQ(static_cast<unsigned long>(ERROR_FILE_READ_ONLY), SaveSettings());
        holder.Release();
        EXPECT_EQ(before, Content());
        EXPECT_NE(0u, GetFileAttributesA("config.cfg") & FILE_ATTRIBUTE_READONLY);
        EXPECT_EQ(OnlyConfig(), Files());
    }
}

TEST_F(ConfigFile, FileHeldOpenByAnotherHandleIsLeftAlone) {
    const std::string before = "screenWidth = 800\r\nfullscreen = 1\r\n";
    struct {
        const char* what;
        DWORD access;
        DWORD share;
        bool saved;
    } holders[] = {
        {"read, others may only read", GENERIC_READ, FILE_SHARE_READ, false},
        {"written, others may only read", GENERIC_WRITE, FILE_SHARE_READ, false},
        {"read, nobody else may open it", GENERIC_READ, 0, false},
        // Nobody else may read it, though it could be written: a save that
        // went on with an empty content would wipe it.
        {"read, others may only write", GENERIC_READ, FILE_SHARE_WRITE, false},
        // It cannot be replaced, but the holder lets it be written in place.
        {"read, others may read and write", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
    };
    for (std::size_t i = 0; i < sizeof holders / sizeof holders[0]; ++i) {
        SCOPED_TRACE(holders[i].what);
        test::WriteFileBytes("config.cfg", before);
        HeldFile holder(holders[i].access, holders[i].share);
        ASSERT_TRUE(holder.held());
        g_gameSettings = Settings(1024, 768, 32, 1);
        SaveSettings();
        holder.Release();
        EXPECT_EQ(holders[i].saved ? "screenWidth = 1024\r\nfullscreen = 1\r\n" : before,
                  Content());
        EXPECT_EQ(OnlyConfig(), Files());
    }
}

// Stand-ins for the system's functions, seen through the import seam.
typedef DWORD(WINAPI* FinalPathFunction)(HANDLE, LPWSTR, DWORD, DWORD);
FinalPathFunction g_finalPath;
bool g_openedFormAnswers = false;
// As on a share with a folder that may not be listed: the normalized form
// fails; the opened form answers when the test says so.
DWORD WINAPI FinalPathOnShare(HANDLE file, LPWSTR path, DWORD size, DWORD flags) {
    if (g_openedFormAnswers && flags == FILE_NAME_OPENED)
        return g_finalPath(file, path, size, flags);
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}
typedef void (*AnyFunction)();
FARPROC(WINAPI* g_getProcAddress)(HMODULE, LPCSTR);
FARPROC WINAPI GetProcAddressOnShare(HMODULE module, LPCSTR name) {
    if (HIWORD(name) && lstrcmpA(name, "GetFinalPathNameByHandleW") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<AnyFunction>(FinalPathOnShare));
    return g_getProcAddress(module, name);
}
// Which file the name config.cfg stands for: a swap puts another one there.
ULONGLONG FileId() {
    HeldFile file(0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    BY_HANDLE_FILE_INFORMATION info;
    EXPECT_TRUE(GetFileInformationByHandle(file.handle(), &info));
    return (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}
BOOL(WINAPI* g_moveFileExW)(LPCWSTR, LPCWSTR, DWORD);
bool g_readAfterMove = false;
// The real move, then a read of config.cfg as a load opens it, while the save
// still holds the moved file open.
BOOL WINAPI MoveThenRead(LPCWSTR from, LPCWSTR to, DWORD flags) {
    BOOL moved = g_moveFileExW(from, to, flags);
    HANDLE file = CreateFileA("config.cfg", GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, 0, NULL);
    g_readAfterMove = file != INVALID_HANDLE_VALUE;
    if (g_readAfterMove)
        CloseHandle(file);
    return moved;
}
bool g_writeWhenMoved = false; // the refused move then opens config.cfg for writing
HANDLE g_writer = INVALID_HANDLE_VALUE;
BOOL WINAPI MoveRefused(LPCWSTR, LPCWSTR, DWORD) {
    if (g_writeWhenMoved && g_writer == INVALID_HANDLE_VALUE)
        g_writer = CreateFileA("config.cfg", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               NULL, OPEN_EXISTING, 0, NULL);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// The other program lets go of its view a moment after the save first finds
// the file mapped, well within the time the save waits for that.
void* g_view = NULL;
HANDLE g_releaser = NULL;
DWORD WINAPI ReleaseViewSoon(void*) {
    Sleep(100);
    UnmapViewOfFile(g_view);
    return 0;
}
BOOL(WINAPI* g_setEndOfFile)(HANDLE);
BOOL WINAPI EndOfFileWhileMapped(HANDLE file) {
    BOOL ended = g_setEndOfFile(file);
    if (!ended && GetLastError() == ERROR_USER_MAPPED_FILE && !g_releaser) {
        g_releaser = CreateThread(NULL, 0, ReleaseViewSoon, NULL, 0, NULL);
        SetLastError(ERROR_USER_MAPPED_FILE);
    }
    return ended;
}

TEST_F(ConfigFile, WhereTheSwapCannotBeMadeTheFileIsRewrittenInPlace) {
    const std::string before = "screenWidth = 12345678\r\nfullscreen = 1\r\n";
    const std::vector<std::string> inTemp = settings_test::StagedInTemp();
    {
        test::ScopedImportPatch patch("kernel32.dll", "GetProcAddress",
                                      reinterpret_cast<void*>(GetProcAddressOnShare));
        g_getProcAddress = reinterpret_cast<FARPROC(WINAPI*)(HMODULE, LPCSTR)>(patch.original());
        g_finalPath = reinterpret_cast<FinalPathFunction>(reinterpret_cast<AnyFunction>(
            g_getProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleW")));
        ASSERT_TRUE(g_finalPath != NULL);
        for (int opened = 0; opened < 2; ++opened) {
            SCOPED_TRACE(opened ? "the opened form answers" : "no form answers");
            g_openedFormAnswers = opened != 0;
            test::WriteFileBytes("config.cfg", before);
            const ULONGLONG file = FileId();
            g_gameSettings = Settings(1024, 768, 32, 1);
            EXPECT_EQ(static_cast<unsigned long>(ERROR_SUCCESS), SaveSettings());
            EXPECT_EQ("screenWidth = 1024\r\nfullscreen = 1\r\n", Content());
            // With no form of its path the file is rewritten in place; the
            // opened form still names its folder, and the swap is kept.
            EXPECT_EQ(opened != 0, FileId() != file);
            EXPECT_EQ(OnlyConfig(), Files());
            EXPECT_EQ(inTemp, settings_test::StagedInTemp());
        }
    }

    {
        test::ScopedImportPatch patch("kernel32.dll", "MoveFileExW",
                                      reinterpret_cast<void*>(MoveThenRead));
        g_moveFileExW = reinterpret_cast<BOOL(WINAPI*)(LPCWSTR, LPCWSTR, DWORD)>(patch.original());
        test::WriteFileBytes("config.cfg", before);
        EXPECT_EQ(static_cast<unsigned long>(ERROR_SUCCESS), SaveSettings());
        EXPECT_TRUE(g_readAfterMove) << "a load right after the swap's move failed";
    }

    test::ScopedImportPatch patch("kernel32.dll", "MoveFileExW",
                                  reinterpret_cast<void*>(MoveRefused));
    test::WriteFileBytes("config.cfg", before);
    g_gameSettings = Settings(1024, 768, 32, 1);
    EXPECT_EQ(static_cast<unsigned long>(ERROR_SUCCESS), SaveSettings());
    EXPECT_EQ("screenWidth = 1024\r\nfullscreen = 1\r\n", Content());
    EXPECT_EQ(OnlyConfig(), Files());

    // Mapped by another program, the file keeps its length: what follows the
    // new content is blank, and the file says exactly what was saved.
    test::WriteFileBytes("config.cfg", before);
    HeldFile mapped(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    HANDLE mapping = CreateFileMappingA(mapped.handle(), NULL, PAGE_READONLY, 0, 0, NULL);
    ASSERT_TRUE(mapping != NULL);
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    g_gameSettings = Settings(1, 768, 32, 1);
    EXPECT_EQ(static_cast<unsigned long>(ERROR_SUCCESS), SaveSettings());
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    mapped.Release();
    EXPECT_EQ("screenWidth = 1\r\nfullscreen = 1\r\n     \r\n", Content());

    // A mapping that goes away while the save waits: the file is cut to
    // exactly the new content.
    {
        test::ScopedImportPatch endPatch("kernel32.dll", "SetEndOfFile",
                                         reinterpret_cast<void*>(EndOfFileWhileMapped));
        g_setEndOfFile = reinterpret_cast<BOOL(WINAPI*)(HANDLE)>(endPatch.original());
        test::WriteFileBytes("config.cfg", before);
        HeldFile viewed(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        HANDLE section = CreateFileMappingA(viewed.handle(), NULL, PAGE_READONLY, 0, 0, NULL);
        ASSERT_TRUE(section != NULL);
        g_view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0);
        CloseHandle(section);
        viewed.Release();
        EXPECT_EQ(static_cast<unsigned long>(ERROR_SUCCESS), SaveSettings());
        ASSERT_TRUE(g_releaser != NULL) << "the save never found the file mapped";
        WaitForSingleObject(g_releaser, INFINITE);
        CloseHandle(g_releaser);
        EXPECT_EQ("screenWidth = 1\r\nfullscreen = 1\r\n", Content());
    }

    // Another program that opens the file for writing meanwhile keeps it.
    test::WriteFileBytes("config.cfg", before);
    g_writeWhenMoved = true;
    EXPECT_EQ(static_cast<unsigned long>(ERROR_SHARING_VIOLATION), SaveSettings());
    ASSERT_NE(INVALID_HANDLE_VALUE, g_writer);
    CloseHandle(g_writer);
    g_writer = INVALID_HANDLE_VALUE;
    g_writeWhenMoved = false;
    EXPECT_EQ(before, Content());
    EXPECT_EQ(OnlyConfig(), Files());
}

TEST_F(ConfigFile, UnreadableFileLeavesSettingsAtLoad) {
    test::WriteFileBytes("config.cfg", "screenWidth = 800\r\n");
    HeldFile holder(GENERIC_READ, 0);
    ASSERT_TRUE(holder.held());
    g_gameSettings = Untouched();
    LoadSettings();
    EXPECT_EQ(Untouched(), g_gameSettings);
}

TEST_F(ConfigFile, TheSavesTemporaryFileIsNeverSomeoneElses) {
    // The player's own config.cfg.tmp, read-only and hidden, stands beside
    // config.cfg: saves go through, again and again, leave it as it was and
    // do not take on its attributes.
    const DWORD readOnlyHidden = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    test::WriteFileBytes("config.cfg.tmp", "the player's\r\n");
    ASSERT_TRUE(SetFileAttributesA("config.cfg.tmp", readOnlyHidden));
    for (int save = 0; save < 2; ++save) {
        EXPECT_EQ("screenWidth = 1024\r\n",
                  SavedFrom("screenWidth = 800\r\n", Settings(1024, 768, 32, save)));
        EXPECT_EQ(0u, GetFileAttributesA("config.cfg") & readOnlyHidden);
    }
    EXPECT_EQ(readOnlyHidden, GetFileAttributesA("config.cfg.tmp") & readOnlyHidden);
    std::string players;
    EXPECT_TRUE(test::ReadFileBytes("config.cfg.tmp", &players));
    EXPECT_EQ("the player's\r\n", players);
    ASSERT_TRUE(SetFileAttributesA("config.cfg.tmp", FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(DeleteFileA("config.cfg.tmp"));

    // A file of the save's own name form: left alone while another save holds
    // it open, removed once nobody does (a save killed midway left it).
    test::WriteFileBytes("config.cfg.~0123abcd.tmp", "cut short");
    HANDLE held = CreateFileA("config.cfg.~0123abcd.tmp", GENERIC_READ, FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    SavedFrom("bloom = 0\r\n", Settings(1, 2, 3, 4));
    EXPECT_TRUE(test::FileExists("config.cfg.~0123abcd.tmp"));
    CloseHandle(held);
    EXPECT_EQ("bloom = 5\r\n", SavedFrom("bloom = 0\r\n", Settings(1, 2, 3, 5)));
    EXPECT_EQ(OnlyConfig(), Files());
}

} // namespace
