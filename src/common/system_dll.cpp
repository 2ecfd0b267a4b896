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
    return LoadLibraryA(path);
}
