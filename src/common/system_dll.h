// Loading the system's own DLLs that the program calls into, whatever room
// calls them. The game folder is the launcher's folder and may hold mods named
// like system DLLs; where the process's DLL search cannot be limited to the
// system folder (Vista, Windows 7 without its 2011 loader update), a bare name
// would search the game folder first.
#ifndef LAUNCHER_SYSTEM_DLL_H
#define LAUNCHER_SYSTEM_DLL_H

#include <windows.h>

// Loads a DLL from the system folder, by its full path, and the DLLs it imports
// from there as well. NULL when it cannot be loaded.
HMODULE LoadSystemDll(const char* fileName);

// A function of a loaded DLL, or NULL. Functions that older systems lack are
// looked up at run time, so that the program still starts there; the plain
// void signature in between marks the conversion of GetProcAddress's generic
// pointer as intended.
template <typename Function> Function FindFunction(HMODULE module, const char* name) {
    typedef void (*AnyFunction)();
    if (!module)
        return NULL;
    return reinterpret_cast<Function>(reinterpret_cast<AnyFunction>(GetProcAddress(module, name)));
}

#endif
