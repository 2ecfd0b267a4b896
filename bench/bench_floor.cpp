// The floor for the launcher's start: only the platform calls the launcher has
// to make before its window shows, with none of its own logic around them.
// - COM for the process, as the launcher's entry point does;
// - Direct3D 9 loaded from the system folder, one format check pair, the mode
//   count and every mode read once (nothing kept, nothing filtered);
// - the launcher's own dialog template, whose initialisation brings up OLE and
//   embeds the web-browser control navigating to the start page, through the
//   launcher's own site object (AttachBrowser), so that the control does
//   exactly the work it does in the launcher.
// Left out, being the launcher's own logic: reading config.cfg, keeping the
// mode list, the caption and the centring.
// PLAY tears down as the launcher must (browser, OLE) and opens the game.
//
// To see where the floor's time goes, "d3d" on the command line keeps only the
// Direct3D part (the dialog then stays bare) and "browser" only OLE and the
// browser control.
#include <windows.h>
#include <ole2.h>
#include <d3d9.h>
#include <shellapi.h>

#include <cstring>

#include "ui/resource.h"
#include "web/browser.h"

namespace {

typedef IDirect3D9*(WINAPI* Direct3DCreate9Function)(UINT version);

volatile UINT g_modeSink;

void ReadDisplayModes() {
    char path[MAX_PATH + 16];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    lstrcatA(path, "\\d3d9.dll");
    HMODULE library = LoadLibraryA(path);
    if (!library)
        return;
    typedef void (*AnyFunction)();
    Direct3DCreate9Function create = reinterpret_cast<Direct3DCreate9Function>(
        reinterpret_cast<AnyFunction>(GetProcAddress(library, "Direct3DCreate9")));
    IDirect3D9* direct3d = create ? create(D3D_SDK_VERSION) : NULL;
    if (direct3d) {
        D3DFORMAT format = D3DFMT_A8R8G8B8;
        if (FAILED(direct3d->CheckDeviceType(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, format, format,
                                             FALSE))) {
            format = D3DFMT_X8R8G8B8;
            if (FAILED(direct3d->CheckDeviceType(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, format, format,
                                                 FALSE)))
                format = D3DFMT_A8R8G8B8;
        }
        UINT count = direct3d->GetAdapterModeCount(D3DADAPTER_DEFAULT, format);
        for (UINT i = 0; i < count; ++i) {
            D3DDISPLAYMODE mode;
            if (SUCCEEDED(direct3d->EnumAdapterModes(D3DADAPTER_DEFAULT, format, i, &mode)))
                g_modeSink = mode.Width + mode.Height;
        }
        direct3d->Release();
    }
    FreeLibrary(library);
}

bool g_withBrowser = true;
bool g_oleInitialized = false;

INT_PTR CALLBACK FloorDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        if (g_withBrowser) {
            g_oleInitialized = SUCCEEDED(OleInitialize(NULL));
            AttachBrowser(window);
        }
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_PLAY:
        case IDC_CLOSE:
            EndDialog(window, LOWORD(wParam));
            break;
        }
        return TRUE;
    case WM_CLOSE:
        EndDialog(window, IDC_CLOSE);
        return TRUE;
    }
    return FALSE;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    bool withDirect3D = !strstr(commandLine, "browser");
    g_withBrowser = !strstr(commandLine, "d3d");
    CoInitialize(NULL);
    if (withDirect3D)
        ReadDisplayModes();
    INT_PTR result = DialogBoxParamA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDD_LAUNCHER), NULL,
                                     FloorDialogProc, 0);
    DestroyBrowser();
    if (g_oleInitialized)
        OleUninitialize();
    if (result == IDC_PLAY)
        ShellExecuteA(NULL, "open", ".\\_Varnholt.exe", "", "", SW_SHOWNORMAL);
    CoUninitialize();
    return 0;
}
