// Measures programs that show the launcher's window, from the Windows side, so
// that every program is timed by the same clock in the same way:
//   window  from just before CreateProcess to the moment a visible top-level
//           dialog of the new process appears;
//   play    from just before a BM_CLICK is posted to its PLAY button to the
//           first instruction of the game stub's WinMain (the stub reads the
//           performance counter, which under Wine is one clock for all
//           processes, and writes it to game_started.txt);
//   peak    the process's peak working set, read after the window has shown
//           and settled, just before PLAY.
// A program given as NAME=@stub is the game stub itself started directly: its
// "window" figure is then the plain cost of starting a process. NAME=EXE|ARGS
// starts EXE with the arguments ARGS.
//
// The programs are run in rounds, each round running every program once, so
// that a change in the machine's load touches them all alike; each round
// starts one program further down the list. Each program runs in a game folder of its own holding
// config.cfg and the stub as _Varnholt.exe. One tab-separated line per run goes to --out.
//
//   bench_runner --out FILE --stub EXE --config FILE --work DIR [--runs N]
//                [--warmup N] [--settle MS] [--gap MS]
//                NAME=EXE[|ARGS]...
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int kPlayButton = 1000; // IDC_PLAY in the launcher's template
const DWORD kWindowTimeoutMs = 30000;
const DWORD kPlayTimeoutMs = 20000;
const DWORD kExitTimeoutMs = 20000;

struct Program {
    std::string name;
    std::string exe; // empty for the stub started directly
    std::string args;
    std::string folder; // its game folder
};

struct Options {
    std::string out;
    std::string stub;
    std::string config;
    std::string work;
    int runs;
    int warmup;
    DWORD settleMs;
    DWORD gapMs;
    std::vector<Program> programs;
};

struct RunResult {
    double windowMs;
    double playMs;
    double peakKiB;
    const char* status;
};

LARGE_INTEGER g_frequency;

LONGLONG Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double Milliseconds(LONGLONG from, LONGLONG to) {
    return static_cast<double>(to - from) * 1000.0 / static_cast<double>(g_frequency.QuadPart);
}

// ---------------------------------------------------------------------------
// Finding the window

// The window the player sees: a visible top-level dialog of the process.
bool IsShownDialogOf(HWND window, DWORD processId) {
    if (!IsWindowVisible(window) || (GetWindowLongA(window, GWL_STYLE) & WS_CHILD))
        return false;
    char className[64];
    if (!GetClassNameA(window, className, sizeof className) || lstrcmpA(className, "#32770") != 0)
        return false;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    return owner == processId;
}

struct Watch {
    DWORD processId;
    HWND window;
};

Watch g_watch;

BOOL CALLBACK FindShownDialog(HWND window, LPARAM) {
    if (!IsShownDialogOf(window, g_watch.processId))
        return TRUE;
    g_watch.window = window;
    return FALSE;
}

// Waits for the process's dialog to show, looking every millisecond at the
// top-level windows of its main thread (the one that runs the dialog; asking
// for them alone keeps the look cheap for the wineserver that the measured
// program shares); NULL when the process ends first or the time runs out.
// (An out-of-context SetWinEventHook for EVENT_OBJECT_SHOW would cost even
// less, but Wine 8 delivers no such event from another process.)
HWND WaitForShownDialog(const PROCESS_INFORMATION& info, LONGLONG* shownAt) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < kWindowTimeoutMs) {
        DWORD wait = WaitForSingleObject(info.hProcess, 1);
        g_watch.window = NULL;
        EnumThreadWindows(info.dwThreadId, FindShownDialog, 0);
        if (g_watch.window) {
            *shownAt = Now();
            return g_watch.window;
        }
        if (wait == WAIT_OBJECT_0)
            return NULL;
    }
    return NULL;
}

// ---------------------------------------------------------------------------
// The game stub's record

bool ReadStubRecord(const std::string& folder, LONGLONG* counter, DWORD* processId) {
    std::string path = folder + "\\game_started.txt";
    FILE* file = fopen(path.c_str(), "rb");
    if (!file)
        return false;
    long long value = 0;
    unsigned long id = 0;
    bool ok = fscanf(file, "%lld %lu", &value, &id) == 2;
    fclose(file);
    *counter = value;
    *processId = id;
    return ok;
}

bool WaitForStub(const std::string& folder, DWORD timeoutMs, LONGLONG* counter) {
    DWORD start = GetTickCount();
    DWORD processId = 0;
    while (!ReadStubRecord(folder, counter, &processId)) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(2);
    }
    // Let the stub finish before the next run starts.
    HANDLE stub = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (stub) {
        WaitForSingleObject(stub, kExitTimeoutMs);
        CloseHandle(stub);
    }
    return true;
}

void ForgetStubRecord(const std::string& folder) {
    DeleteFileA((folder + "\\game_started.txt").c_str());
    DeleteFileA((folder + "\\game_started.tmp").c_str());
}

// ---------------------------------------------------------------------------
// One run

bool StartProcess(const std::string& exe, const std::string& args, const std::string& folder,
                  PROCESS_INFORMATION* info) {
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    std::string line = "\"" + exe + "\"";
    if (!args.empty())
        line += " " + args;
    std::vector<char> commandLine(line.begin(), line.end());
    commandLine.push_back('\0');
    ZeroMemory(info, sizeof *info);
    return CreateProcessA(exe.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, folder.c_str(),
                          &startup, info) != 0;
}

void EndProcess(PROCESS_INFORMATION* info, bool force) {
    if (force || WaitForSingleObject(info->hProcess, kExitTimeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(info->hProcess, 99);
        WaitForSingleObject(info->hProcess, kExitTimeoutMs);
    }
    CloseHandle(info->hThread);
    CloseHandle(info->hProcess);
}

RunResult RunStubDirectly(const Options& options, const Program& program) {
    RunResult result = {-1, -1, -1, "ok"};
    ForgetStubRecord(program.folder);
    PROCESS_INFORMATION info;
    LONGLONG start = Now();
    if (!StartProcess(options.stub, std::string(), program.folder, &info)) {
        result.status = "nostart";
        return result;
    }
    LONGLONG ran = 0;
    if (WaitForStub(program.folder, kPlayTimeoutMs, &ran))
        result.windowMs = Milliseconds(start, ran);
    else
        result.status = "nostub";
    EndProcess(&info, false);
    return result;
}

RunResult RunWindowProgram(const Options& options, const Program& program) {
    RunResult result = {-1, -1, -1, "ok"};
    ForgetStubRecord(program.folder);
    PROCESS_INFORMATION info;
    LONGLONG start = Now();
    if (!StartProcess(program.exe, program.args, program.folder, &info)) {
        result.status = "nostart";
        return result;
    }
    g_watch.processId = info.dwProcessId;

    LONGLONG shownAt = 0;
    HWND window = WaitForShownDialog(info, &shownAt);
    if (!window) {
        result.status = "nowindow";
        EndProcess(&info, true);
        return result;
    }
    result.windowMs = Milliseconds(start, shownAt);

    Sleep(options.settleMs);
    PROCESS_MEMORY_COUNTERS memory;
    ZeroMemory(&memory, sizeof memory);
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(info.hProcess, &memory, sizeof memory))
        result.peakKiB = static_cast<double>(memory.PeakWorkingSetSize) / 1024.0;

    HWND play = GetDlgItem(window, kPlayButton);
    LONGLONG clicked = Now();
    if (!play || !PostMessageA(play, BM_CLICK, 0, 0)) {
        result.status = "noplay";
        PostMessageA(window, WM_CLOSE, 0, 0);
        EndProcess(&info, false);
        return result;
    }
    LONGLONG ran = 0;
    if (WaitForStub(program.folder, kPlayTimeoutMs, &ran)) {
        result.playMs = Milliseconds(clicked, ran);
    } else {
        result.status = "nostub";
        PostMessageA(window, WM_CLOSE, 0, 0);
    }
    EndProcess(&info, false);
    return result;
}

// ---------------------------------------------------------------------------
// Set-up

bool CopyInto(const std::string& from, const std::string& to) {
    if (CopyFileA(from.c_str(), to.c_str(), FALSE))
        return true;
    fprintf(stderr, "bench_runner: cannot copy %s to %s (error %lu)\n", from.c_str(), to.c_str(),
            GetLastError());
    return false;
}

bool PrepareFolders(Options* options) {
    CreateDirectoryA(options->work.c_str(), NULL);
    for (size_t i = 0; i < options->programs.size(); ++i) {
        Program& program = options->programs[i];
        program.folder = options->work + "\\" + program.name;
        CreateDirectoryA(program.folder.c_str(), NULL);
        if (!CopyInto(options->config, program.folder + "\\config.cfg") ||
            !CopyInto(options->stub, program.folder + "\\_Varnholt.exe"))
            return false;
    }
    return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
    options->runs = 15;
    options->warmup = 1;
    options->settleMs = 500;
    options->gapMs = 200;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--out" && hasValue)
            options->out = argv[++i];
        else if (arg == "--stub" && hasValue)
            options->stub = argv[++i];
        else if (arg == "--config" && hasValue)
            options->config = argv[++i];
        else if (arg == "--work" && hasValue)
            options->work = argv[++i];
        else if (arg == "--runs" && hasValue)
            options->runs = atoi(argv[++i]);
        else if (arg == "--warmup" && hasValue)
            options->warmup = atoi(argv[++i]);
        else if (arg == "--settle" && hasValue)
            options->settleMs = static_cast<DWORD>(atoi(argv[++i]));
        else if (arg == "--gap" && hasValue)
            options->gapMs = static_cast<DWORD>(atoi(argv[++i]));
        else {
            size_t equals = arg.find('=');
            if (equals == std::string::npos || equals == 0 || arg[0] == '-') {
                fprintf(stderr, "bench_runner: unknown argument %s\n", arg.c_str());
                return false;
            }
            Program program;
            program.name = arg.substr(0, equals);
            std::string exe = arg.substr(equals + 1);
            size_t bar = exe.find('|');
            if (bar != std::string::npos) {
                program.args = exe.substr(bar + 1);
                exe.erase(bar);
            }
            program.exe = exe == "@stub" ? std::string() : exe;
            options->programs.push_back(program);
        }
    }
    return !options->out.empty() && !options->stub.empty() && !options->config.empty() &&
           !options->work.empty() && options->runs > 0 && !options->programs.empty();
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fprintf(stderr, "usage: bench_runner --out FILE --stub EXE --config FILE --work DIR "
                        "[--runs N] [--warmup N] [--settle MS] [--gap MS] "
                        "NAME=EXE[|ARGS]...\n");
        return 2;
    }
    QueryPerformanceFrequency(&g_frequency);
    if (!PrepareFolders(&options))
        return 1;

    FILE* out = fopen(options.out.c_str(), "w");
    if (!out) {
        fprintf(stderr, "bench_runner: cannot write %s\n", options.out.c_str());
        return 1;
    }
    fprintf(out, "round\tprogram\twindow_ms\tplay_ms\tpeak_kib\tstatus\n");

    int failures = 0;
    size_t count = options.programs.size();
    for (int round = 1 - options.warmup; round <= options.runs; ++round) {
        for (size_t i = 0; i < count; ++i) {
            // Each round starts one program later, so that no program always
            // follows the same one (whose teardown may still load the machine).
            size_t turn = (i + static_cast<size_t>(round + options.warmup)) % count;
            const Program& program = options.programs[turn];
            RunResult result = program.exe.empty() ? RunStubDirectly(options, program)
                                                   : RunWindowProgram(options, program);
            if (std::strcmp(result.status, "ok") != 0)
                ++failures;
            // Warm-up rounds (0 and below) are written too, marked by their number.
            fprintf(out, "%d\t%s\t%.2f\t%.2f\t%.0f\t%s\n", round, program.name.c_str(),
                    result.windowMs, result.playMs, result.peakKiB, result.status);
            fflush(out);
            printf("round %d %-10s window %8.2f ms  play %8.2f ms  peak %8.0f KiB  %s\n", round,
                   program.name.c_str(), result.windowMs, result.playMs, result.peakKiB,
                   result.status);
            fflush(stdout);
            Sleep(options.gapMs);
        }
    }
    fclose(out);
    return failures == 0 ? 0 : 1;
}
