// Loads version.dll, winmm.dll, wininet.dll and dinput8.dll by bare name and
// writes the files it got, one per line, into NAME.dlls beside itself. Copied
// under a name that starts with "restrict" it first runs the launcher's
// start-up step, with "preload" only that step's fallback, and then loads
// urlmon.dll as the launcher does; under any other name (the game's) neither.
// Wine's urlmon imports wininet.dll, which nothing has loaded before, so the
// bare load of wininet.dll then names the file that urlmon's import got.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "app/dll_search.h"
#include "common/system_dll.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char path[MAX_PATH + 8];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (length < 4 || length >= MAX_PATH)
        return 1;
    const char* name = strrchr(path, '\\');
    name = name ? name + 1 : path;
    bool launcher = true;
    if (_strnicmp(name, "restrict", 8) == 0)
        RestrictDllSearch();
    else if (_strnicmp(name, "preload", 7) == 0)
        PreloadSystemDlls();
    else
        launcher = false;
    // Also under the limit, where the altered search must still load it.
    if (launcher && !LoadSystemDll("urlmon.dll"))
        return 1;

    // Written under another name first: the file appears whole.
    char done[MAX_PATH + 8];
    strcpy(path + length - 4, ".dlls");
    strcpy(done, path);
    strcat(path, ".part");
    FILE* out = fopen(path, "wb");
    if (!out)
        return 1;
    const char* const dlls[] = {"version.dll", "winmm.dll", "wininet.dll", "dinput8.dll"};
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
