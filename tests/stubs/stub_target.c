/* Stand-in for the game or the gamepad tool: copied into a game folder under
   the target's name, it records that it ran by writing NAME.ran beside itself,
   holding its command line. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    char path[MAX_PATH + 8];
    DWORD length;
    FILE* out;
    (void)instance;
    (void)previous;
    (void)show;
    length = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 1;
    if (length > 4 && _stricmp(path + length - 4, ".exe") == 0)
        path[length - 4] = '\0';
    strcat(path, ".ran");
    out = fopen(path, "a");
    if (!out)
        return 1;
    fprintf(out, "%s\n", commandLine);
    fclose(out);
    return 0;
}
