// What the fuzz targets hold config_text to, written from the file format
// rather than from the code: keys, lines, and the values a load may give.
#ifndef LAUNCHER_FUZZ_CONFIG_PROPERTIES_H
#define LAUNCHER_FUZZ_CONFIG_PROPERTIES_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "settings/config_text.h"

// A broken property is a finding: report it and stop, so libFuzzer keeps the input.
#define PROPERTY(condition)                                                                        \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {

struct Key {
    const char* name;
    std::size_t digits; // characters of the value that a load reads
    int GameSettings::*field;
};

const Key kKeys[4] = {
    {"screenWidth", 4, &GameSettings::screenWidth},
    {"screenHeight", 4, &GameSettings::screenHeight},
    {"screenBPP", 2, &GameSettings::screenBPP},
    {"bloom", 2, &GameSettings::bloom},
};

inline GameSettings Make(int width, int height, int bpp, int bloom) {
    GameSettings s = {width, height, bpp, bloom};
    return s;
}

inline bool BeginsWith(const std::string& line, const char* key) {
    return line.compare(0, std::strlen(key), key) == 0;
}

// The key a line begins with, or -1.
inline int KeyOf(const std::string& line) {
    for (int k = 0; k < 4; ++k)
        if (BeginsWith(line, kKeys[k].name))
            return k;
    return -1;
}

// The lines of a file without their line ends: a line ends at LF, with a CR
// directly before the LF belonging to the line end.
inline std::vector<std::string> Lines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t feed = bytes.find('\n', start);
        if (feed == std::string::npos) {
            lines.push_back(bytes.substr(start));
            break;
        }
        std::size_t end = feed > start && bytes[feed - 1] == '\r' ? feed - 1 : feed;
        lines.push_back(bytes.substr(start, end - start));
        start = feed + 1;
    }
    return lines;
}

// What a load reads back for a value written with "%d": the first `digits`
// characters of its decimal text.
inline int ReadBack(int value, std::size_t digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    text[digits] = '\0';
    return std::atoi(text);
}

inline bool WithinDigits(int value, std::size_t digits) {
    return digits == 4 ? value >= -999 && value <= 9999 : value >= -9 && value <= 99;
}

} // namespace fuzz

#endif
