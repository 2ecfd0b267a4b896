/* Built under a system DLL's name (version.dll, winmm.dll), it stands for a mod
 * that a game folder carries under that name. It does nothing: the tests ask
 * the loader which file a process got. As wininet.dll it exports none of the
 * functions that Wine's urlmon imports; Wine's loader binds those to stubs
 * that fail only when called, so urlmon still loads. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
