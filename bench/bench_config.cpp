// Times LoadSettings and SaveSettings on config.cfg files of growing size, to
// show how their cost grows with the file. Each file holds the four keys among
// lines such as a game's settings file carries; loads and saves alternate and
// each is repeated, and the median of each is reported.
//
//   bench_config --out FILE [--reps N] [--dir DIR]
//
// Writes one tab-separated line per file size to --out.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "settings/game_settings.h"

namespace {

LARGE_INTEGER g_frequency;

double MillisecondsSince(LONGLONG start) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - start) * 1000.0 /
           static_cast<double>(g_frequency.QuadPart);
}

LONGLONG Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// Lines of the kind a game's config.cfg holds, cycled until the file has the
// size asked for; the four keys come first, as the game writes them.
std::string MakeConfig(size_t size) {
    static const char* const kLines[] = {
        "fullscreen = 1",         "vsync = 1",
        "textureQuality = 2",     "shadowQuality = 2",
        "anisotropy = 8",         "musicVolume = 80",
        "effectsVolume = 100",    "mouseSensitivity = 5",
        "invertMouse = 0",        "language = english",
        "// key bindings",        "bind forward = W",
        "bind back = S",          "bind left = A",
        "bind right = D",         "bind jump = SPACE",
        "lastServer = 127.0.0.1", "playerName = Wanderer of Varnholt",
        "motionBlur = 1",         "lensFlare = 1",
    };
    const size_t kLineCount = sizeof kLines / sizeof kLines[0];
    std::string text =
        "screenWidth = 1280\r\nscreenHeight = 1024\r\nscreenBPP = 32\r\nbloom = 1\r\n";
    for (size_t i = 0; text.size() < size; ++i) {
        text += kLines[i % kLineCount];
        text += "\r\n";
    }
    return text;
}

bool WriteWholeFile(const char* path, const std::string& bytes) {
    FILE* file = fopen(path, "wb");
    if (!file)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && ok;
}

long long FileSize(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool SettingsAsWritten() {
    return g_gameSettings.screenWidth == 1280 && g_gameSettings.screenHeight == 1024 &&
           g_gameSettings.screenBPP == 32 && g_gameSettings.bloom == 1;
}

struct Size {
    const char* label;
    size_t bytes;
};

} // namespace

int main(int argc, char** argv) {
    std::string out;
    std::string dir;
    int reps = 15;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string arg = argv[i];
        if (arg == "--out")
            out = argv[i + 1];
        else if (arg == "--reps")
            reps = atoi(argv[i + 1]);
        else if (arg == "--dir")
            dir = argv[i + 1];
    }
    if (out.empty() || reps < 1) {
        fprintf(stderr, "usage: bench_config --out FILE [--reps N] [--dir DIR]\n");
        return 2;
    }
    QueryPerformanceFrequency(&g_frequency);

    FILE* results = fopen(out.c_str(), "w");
    if (!results) {
        fprintf(stderr, "bench_config: cannot write %s\n", out.c_str());
        return 1;
    }
    if (dir.empty()) {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        dir = std::string(temp) + "varnholt-bench-config";
    }
    CreateDirectoryA(dir.c_str(), NULL);
    if (!SetCurrentDirectoryA(dir.c_str())) {
        fprintf(stderr, "bench_config: cannot enter %s\n", dir.c_str());
        return 1;
    }

    const Size sizes[] = {{"1 KB", 1024}, {"1 MB", 1024 * 1024}, {"10 MB", 10 * 1024 * 1024}};
    fprintf(results, "size\tbytes\tload_ms\tsave_ms\tfile_after_save\n");
    int failures = 0;
    for (size_t s = 0; s < sizeof sizes / sizeof sizes[0]; ++s) {
        std::string text = MakeConfig(sizes[s].bytes);
        if (!WriteWholeFile("config.cfg", text)) {
            fprintf(stderr, "bench_config: cannot write config.cfg\n");
            return 1;
        }
        std::vector<double> loads;
        std::vector<double> saves;
        for (int r = 0; r < reps; ++r) {
            g_gameSettings.screenWidth = g_gameSettings.screenHeight = 0;
            g_gameSettings.screenBPP = g_gameSettings.bloom = 0;
            LONGLONG start = Now();
            LoadSettings();
            loads.push_back(MillisecondsSince(start));
            // A load that found nothing would be timing an empty loop.
            if (!SettingsAsWritten()) {
                fprintf(stderr, "bench_config: LoadSettings did not read the keys (%s)\n",
                        sizes[s].label);
                ++failures;
            }
            start = Now();
            SaveSettings();
            saves.push_back(MillisecondsSince(start));
        }
        long long after = FileSize("config.cfg");
        fprintf(results, "%s\t%lu\t%.3f\t%.3f\t%lld\n", sizes[s].label,
                static_cast<unsigned long>(text.size()), Median(loads), Median(saves), after);
        fflush(results);
        printf("config %-6s load %9.3f ms  save %9.3f ms  (%lld bytes after save)\n",
               sizes[s].label, Median(loads), Median(saves), after);
        fflush(stdout);
    }
    DeleteFileA("config.cfg");
    fclose(results);
    return failures == 0 ? 0 : 1;
}
