#include "app/launch_target.h"

#include <shellapi.h>

#include "ui/player_message.h"
#include "ui/resource.h"

namespace {

// The portal's statistics page for the game; the scheme and the host are build settings.
const char kStatisticsPage[] =
    LAUNCHER_PORTAL_SCHEME "://" LAUNCHER_PORTAL_HOST "/stats/varnholt.html";

// The programs in the game folder that a command of the window starts: the
// path given to the shell, and the file and failure as the player is told them.
struct ProgramTarget {
    INT_PTR resultCode;
    const char* target;
    const wchar_t* fileName;
    const wchar_t* failure;
};

const ProgramTarget kPrograms[] = {
    {IDC_PLAY, ".\\_Varnholt.exe", L"_Varnholt.exe", L"The game could not be started."},
    {IDC_GAMEPAD, ".\\xpad.exe", L"xpad.exe", L"The gamepad tool could not be started."},
};

const ProgramTarget* ProgramFor(INT_PTR resultCode) {
    for (size_t i = 0; i < sizeof kPrograms / sizeof kPrograms[0]; ++i) {
        if (kPrograms[i].resultCode == resultCode)
            return &kPrograms[i];
    }
    return NULL;
}

// ShellExecuteA's failures are its own codes, not Windows error codes: the
// documented ones mapped onto the Windows errors that say the same.
DWORD WindowsErrorForShellCode(INT_PTR code) {
    switch (code) {
    case 0:
        return ERROR_OUTOFMEMORY;
    case SE_ERR_SHARE:
        return ERROR_SHARING_VIOLATION;
    case SE_ERR_ASSOCINCOMPLETE:
    case SE_ERR_NOASSOC:
        return ERROR_NO_ASSOCIATION;
    case SE_ERR_DDETIMEOUT:
    case SE_ERR_DDEFAIL:
    case SE_ERR_DDEBUSY:
        return ERROR_DDE_FAIL;
    case SE_ERR_DLLNOTFOUND:
        return ERROR_DLL_NOT_FOUND;
    default:
        // File and path not found, access denied, out of memory and a bad
        // format are the Windows codes themselves.
        return static_cast<DWORD>(code);
    }
}

} // namespace

bool OpenLaunchTarget(INT_PTR resultCode) {
    const ProgramTarget* program = ProgramFor(resultCode);
    const char* target = program ? program->target : kStatisticsPage;
    INT_PTR result =
        reinterpret_cast<INT_PTR>(ShellExecuteA(NULL, "open", target, "", "", SW_SHOWNORMAL));
    if (result > 32 || !program)
        return true;
    // The launcher's window is gone: the box has no owner, and must come to
    // the front on its own, above whatever the player has switched to.
    ShowFailure(NULL, MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST, program->failure,
                program->fileName, WindowsErrorForShellCode(result));
    return false;
}
