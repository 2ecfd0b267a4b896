/* Imports d3d9.dll the ordinary way, through its import table: the loader's
 * search then finds a d3d9.dll in the program's own folder. */
#include <windows.h>
#include <d3d9.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;
    IDirect3D9* direct3d = Direct3DCreate9(D3D_SDK_VERSION);
    if (direct3d)
        IDirect3D9_Release(direct3d);
    return 0;
}
