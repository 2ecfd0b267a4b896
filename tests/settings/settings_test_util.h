// Shared by the settings tests: a game folder with a config.cfg, and what the
// real LoadSettings and SaveSettings make of it.
#ifndef LAUNCHER_SETTINGS_TEST_UTIL_H
#define LAUNCHER_SETTINGS_TEST_UTIL_H

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "settings/game_settings.h"
#include "support/test_support.h"

inline bool operator==(const GameSettings& a, const GameSettings& b) {
    return a.screenWidth == b.screenWidth && a.screenHeight == b.screenHeight &&
           a.screenBPP == b.screenBPP && a.bloom == b.bloom;
}

inline void PrintTo(const GameSettings& s, std::ostream* os) {
    *os << "{" << s.screenWidth << ", " << s.screenHeight << ", " << s.screenBPP << ", " << s.bloom
        << "}";
}

namespace settings_test {

// A string literal with its zero bytes.
template <std::size_t N> std::string Bytes(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}

inline GameSettings Settings(int width, int height, int bpp, int bloom) {
    GameSettings s = {width, height, bpp, bloom};
    return s;
}

// Values that no line of the tests produces, to see which fields a load set.
inline GameSettings Untouched() {
    return Settings(-7001, -7002, -7003, -7004);
}

// Names in a folder, sorted, without "." and "..".
inline std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string name = found.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

// The save's files in the temporary folder (config.cfg.~XXXXXXXX.tmp).
inline std::vector<std::string> StagedInTemp() {
    char temp[MAX_PATH];
    std::vector<std::string> staged, all = FilesIn(std::string(temp, GetTempPathA(MAX_PATH, temp)));
    for (std::size_t i = 0; i < all.size(); ++i)
        if (all[i].compare(0, 12, "config.cfg.~") == 0)
            staged.push_back(all[i]);
    return staged;
}

inline std::vector<std::string> OnlyConfig() {
    return std::vector<std::string>(1, "config.cfg");
}

// The content of config.cfg after a save with these settings.
inline std::string SavedFrom(const std::string& before, const GameSettings& settings) {
    test::WriteFileBytes("config.cfg", before);
    g_gameSettings = settings;
    SaveSettings();
    std::string after;
    EXPECT_TRUE(test::ReadFileBytes("config.cfg", &after));
    return after;
}

// The settings after a load of this config.cfg over `start`.
inline GameSettings LoadedFrom(const std::string& bytes, const GameSettings& start = Untouched()) {
    test::WriteFileBytes("config.cfg", bytes);
    g_gameSettings = start;
    LoadSettings();
    return g_gameSettings;
}

} // namespace settings_test

#endif
