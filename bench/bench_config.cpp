// Times LoadSettings and SaveSettings on config.cfg files of growing size, from
// 1 KB to 1 GB, and reads the peak memory they take, to show how cost and
// memory grow with the file. Each file holds the four keys among lines such as
// a game's settings file carries; loads and saves alternate and each is
// repeated (fewer times for the large files), and the median of each is
// reported. Each size is measured in a process of its own, so that its peak
// working set is that of that size alone.
//
//   bench_config --out FILE [--reps N] [--dir DIR]
//
// Writes one tab-separated line per file size to --out.
#include <windows.h>

#include <psapi.h>

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

// Writes config.cfg of about `size` bytes: the four keys first, as the game
// writes them, then lines of the kind a game's config.cfg holds, cycled. In
// runs, so that a file of a gigabyte needs no gigabyte of memory.
bool WriteConfig(const char* path, size_t size) {
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
    FILE* file = fopen(path, "wb");
    if (!file)
        return false;
    std::string run =
        "screenWidth = 1280\r\nscreenHeight = 1024\r\nscreenBPP = 32\r\nbloom = 1\r\n";
    size_t written = 0;
    bool ok = true;
    for (size_t i = 0; ok && written + run.size() < size; ++i) {
        run += kLines[i % kLineCount];
        run += "\r\n";
        if (run.size() >= 64 * 1024) {
            ok = fwrite(run.data(), 1, run.size(), file) == run.size();
            written += run.size();
            run.clear();
        }
    }
    ok = ok && fwrite(run.data(), 1, run.size(), file) == run.size();
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

// Measures one size in this process; the file is already there. Writes
// "load_ms save_ms peak_working_set" to `result`.
int MeasureOne(const char* result, int reps) {
    std::vector<double> loads;
    std::vector<double> saves;
    int failures = 0;
    for (int r = 0; r < reps; ++r) {
        g_gameSettings.screenWidth = g_gameSettings.screenHeight = 0;
        g_gameSettings.screenBPP = g_gameSettings.bloom = 0;
        LONGLONG start = Now();
        LoadSettings();
        loads.push_back(MillisecondsSince(start));
        // A load that found nothing would be timing an empty loop.
        if (!SettingsAsWritten())
            ++failures;
        start = Now();
        if (SaveSettings() != ERROR_SUCCESS)
            ++failures;
        saves.push_back(MillisecondsSince(start));
    }
    PROCESS_MEMORY_COUNTERS memory;
    memory.cb = sizeof memory;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
        return 1;
    FILE* out = fopen(result, "w");
    if (!out)
        return 1;
    fprintf(out, "%.3f %.3f %lu\n", Median(loads), Median(saves),
            static_cast<unsigned long>(memory.PeakWorkingSetSize));
    fclose(out);
    return failures == 0 ? 0 : 1;
}

// Runs this program again to measure one size; false when it failed.
bool MeasureInChild(int reps, double* load, double* save, unsigned long* peak) {
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, MAX_PATH);
    char command[MAX_PATH + 64];
    snprintf(command, sizeof command, "\"%s\" --measure result.txt %d", self, reps);
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    DeleteFileA("result.txt");
    if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return false;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    FILE* in = fopen("result.txt", "r");
    if (!in)
        return false;
    bool read = fscanf(in, "%lf %lf %lu", load, save, peak) == 3;
    fclose(in);
    DeleteFileA("result.txt");
    return read && code == 0;
}

int main(int argc, char** argv) {
    QueryPerformanceFrequency(&g_frequency);
    if (argc == 4 && std::string(argv[1]) == "--measure")
        return MeasureOne(argv[2], atoi(argv[3]));
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

    const Size sizes[] = {{"1 KB", 1024},
                          {"1 MB", 1024 * 1024},
                          {"10 MB", 10 * 1024 * 1024},
                          {"100 MB", 100 * 1024 * 1024},
                          {"1 GB", 1024 * 1024 * 1024}};
    fprintf(results, "size\tbytes\treps\tload_ms\tsave_ms\tpeak_working_set\tpeak_private\t"
                     "file_after_save\n");
    int failures = 0;
    for (size_t s = 0; s < sizeof sizes / sizeof sizes[0]; ++s) {
        if (!WriteConfig("config.cfg", sizes[s].bytes)) {
            fprintf(stderr, "bench_config: cannot write config.cfg\n");
            return 1;
        }
        long long bytes = FileSize("config.cfg");
        // Fewer repetitions where one takes seconds: at most about 256 MB
        // loaded and saved per size, and at least one of each.
        size_t budget = 256u * 1024 * 1024 / sizes[s].bytes;
        int sizeReps = budget < static_cast<size_t>(reps) ? static_cast<int>(budget) : reps;
        if (sizeReps < 1)
            sizeReps = 1;
        double load = 0, save = 0;
        unsigned long peak = 0;
        if (!MeasureInChild(sizeReps, &load, &save, &peak)) {
            fprintf(stderr, "bench_config: the measurement of %s failed\n", sizes[s].label);
            ++failures;
        }
        long long after = FileSize("config.cfg");
        fprintf(results, "%s\t%lld\t%d\t%.3f\t%.3f\t%lu\t%lld\n", sizes[s].label, bytes, sizeReps,
                load, save, peak, after);
        fflush(results);
        printf("config %-6s load %10.3f ms  save %10.3f ms  peak working set %6.1f MiB\n",
               sizes[s].label, load, save, peak / 1048576.0);
        fflush(stdout);
    }
    DeleteFileA("config.cfg");
    fclose(results);
    return failures == 0 ? 0 : 1;
}
