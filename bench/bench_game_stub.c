/* Stand-in for the game in a benchmark game folder: the first thing it does is
   read the performance counter, which under Wine is one clock for every
   process, so the runner can subtract the moment it asked for the launch.
   It writes "COUNTER PID" to game_started.txt in the current folder, through a
   temporary file renamed into place, so that a reader never sees half a line. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    LARGE_INTEGER now;
    char line[64];
    char counter[32];
    HANDLE file;
    DWORD written = 0;
    int length;
    BOOL ok;
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;

    QueryPerformanceCounter(&now);
    _i64toa(now.QuadPart, counter, 10);
    length = sprintf(line, "%s %lu\n", counter, GetCurrentProcessId());
    file = CreateFileA("game_started.tmp", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    ok = WriteFile(file, line, (DWORD)length, &written, NULL) && written == (DWORD)length;
    CloseHandle(file);
    if (!ok || !MoveFileExA("game_started.tmp", "game_started.txt", MOVEFILE_REPLACE_EXISTING))
        return 1;
    return 0;
}
