/* A d3d9.dll as a game folder might carry one: it leaves d3d9.planted in the
 * current directory when it is loaded, and offers no Direct3D. */
#include <windows.h>

struct IDirect3D9;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        HANDLE marker = CreateFileA("d3d9.planted", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, NULL);
        if (marker != INVALID_HANDLE_VALUE)
            CloseHandle(marker);
    }
    return TRUE;
}

__declspec(dllexport) struct IDirect3D9* WINAPI Direct3DCreate9(UINT version) {
    (void)version;
    return NULL;
}
