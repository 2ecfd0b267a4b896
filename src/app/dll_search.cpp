#include "app/dll_search.h"

#include "common/system_dll.h"

#include <windows.h>

#include <string.h>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace {

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD flags);
typedef BOOL(WINAPI* SetDllDirectoryFunction)(LPCSTR path);
typedef LONG(WINAPI* RtlGetVersionFunction)(OSVERSIONINFOW* info);

template <typename Function> Function Lookup(const char* module, const char* name) {
    return FindFunction<Function>(GetModuleHandleA(module), name);
}

// RtlGetVersion reports the real version. GetVersionEx reports no newer one
// than the program's manifest declares (6.2 to a program without one, from
// Windows 8.1 on), and compilers flag it as deprecated.
bool IsWindowsVista() {
    RtlGetVersionFunction getVersion = Lookup<RtlGetVersionFunction>("ntdll.dll", "RtlGetVersion");
    if (!getVersion)
        return false;
    OSVERSIONINFOW info;
    ZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (getVersion(&info) != 0)
        return false;
    return info.dwMajorVersion == 6 && info.dwMinorVersion == 0;
}

// DLLs that the system's own DLLs load by bare name while the launcher runs
// and that are not KnownDLLs (which always come from the system folder) on
// Vista and 7. Those that a system lacks are skipped.
const char* const kPreloaded[] = {
    "uxtheme.dll",   // themed windows and buttons (user32, comctl32)
    "dwmapi.dll",    // desktop composition (uxtheme, Direct3D 9, the browser control)
    "version.dll",   // file versions (Direct3D 9, the shell, the browser control)
    "winmm.dll",     // timers and sounds (the browser control); a favourite mod name
    "dxgi.dll",      // the browser control's hardware rendering; a favourite mod name
    "cryptbase.dll", // loaded by advapi32 on Windows 7
    "propsys.dll",   // the shell's property system (ShellExecute)
    "apphelp.dll",   // the compatibility check of a started program (ShellExecute)
    "userenv.dll",   // profile folders (the shell, the browser control's cache)
    "profapi.dll",   // the same, on Windows 7
};

} // namespace

void PreloadSystemDlls() {
    SetDllDirectoryFunction setDllDirectory =
        Lookup<SetDllDirectoryFunction>("kernel32.dll", "SetDllDirectoryA");
    if (setDllDirectory)
        setDllDirectory("");

    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    path[length++] = '\\';
    for (size_t i = 0; i < sizeof kPreloaded / sizeof kPreloaded[0]; ++i) {
        size_t nameSize = strlen(kPreloaded[i]) + 1;
        if (length + nameSize > MAX_PATH)
            continue;
        memcpy(path + length, kPreloaded[i], nameSize);
        // Kept loaded for the process's life. The altered search makes the
        // DLL's own imports come from its folder too.
        // cppcheck-suppress leakReturnValNotUsed
        LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
}

void RestrictDllSearch() {
    SetDefaultDllDirectoriesFunction limitSearch =
        Lookup<SetDefaultDllDirectoriesFunction>("kernel32.dll", "SetDefaultDllDirectories");
    // On Vista the shell's COM objects fail to load under the limit.
    if (limitSearch && !IsWindowsVista() && limitSearch(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return;
    PreloadSystemDlls();
}
