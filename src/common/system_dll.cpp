#include "common/system_dll.h"

#include <string.h>

HMODULE LoadSystemDll(const char* fileName) {
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    size_t nameSize = strlen(fileName) + 1;
    if (length == 0 || length + 1 + nameSize > MAX_PATH)
        return NULL;
    path[length] = '\\';
    memcpy(path + length + 1, fileName, nameSize);
    // The DLL's own imports then come from the system folder too, where the
    // process's search still starts in the game folder.
    return LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}
