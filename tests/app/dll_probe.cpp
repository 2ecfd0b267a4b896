// Loads version.dll, winmm.dll and dinput8.dll by bare name and writes the
// files it got, one per line, into NAME.dlls beside itself. Copied under a name
// that starts with "restrict" it first runs the launcher's start-up step, with
// "preload" only that step's fallback; under any other name (the game's)
// neither.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "app/dll_search.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char path[MAX_PATH + 8];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (length < 4 || length >= MAX_PATH)
        return 1;
    const char* name = strrchr(path, '\\');
    name = name ? name + 1 : path;
    if (_strnicmp(name, "restrict", 8) == 0)
        RestrictDllSearch();
    else if (_strnicmp(name, "preload", 7) == 0)
        PreloadSystemDlls();

    // Written under another name first: the file appears whole.
    char done[MAX_PATH + 8];
    strcpy(path + length - 4, ".dlls");
    strcpy(done, path);
    strcat(path, ".part");
    FILE* out = fopen(path, "wb");
    if (!out)
        return 1;
    const char* const dlls[] = {"version.dll", "winmm.dll", "dinput8.dll"};
    for (size_t i = 0; i < sizeof dlls / sizeof dlls[0]; ++i) {
        char file[MAX_PATH] = "none";
        HMODULE module = LoadLibraryA(dlls[i]);
        if (module)
            GetModuleFileNameA(module, file, MAX_PATH);
        fprintf(out, "%s\n", file);
    }
    fclose(out);
    return MoveFileA(path, done) ? 0 : 1;
}
