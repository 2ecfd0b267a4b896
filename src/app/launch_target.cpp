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

// Why the shell could not open the target. Its own code in hInstApp stands in
// only when it left no Windows error: the documented codes, as the Windows
// errors that say the same.
DWORD LaunchError(const SHELLEXECUTEINFOA& launch) {
    DWORD error = GetLastError();
    if (error != ERROR_SUCCESS)
        return error;
    switch (reinterpret_cast<INT_PTR>(launch.hInstApp)) {
    case SE_ERR_FNF:
    case SE_ERR_PNF:
    case SE_ERR_ACCESSDENIED:
    case SE_ERR_OOM:
        // These are the Windows codes themselves.
        return static_cast<DWORD>(reinterpret_cast<INT_PTR>(launch.hInstApp));
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
        // A failure all the same, even when nothing says why.
        return ERROR_INTERNAL_ERROR;
    }
}

} // namespace

bool OpenLaunchTarget(INT_PTR resultCode) {
    const ProgramTarget* program = ProgramFor(resultCode);
    SHELLEXECUTEINFOA launch;
    ZeroMemory(&launch, sizeof launch);
    launch.cbSize = sizeof launch;
    // The shell shows no message of its own: the player gets one, ours. And
    // it finishes before it returns, since the launcher exits right after.
    launch.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    launch.lpVerb = "open";
    launch.lpFile = program ? program->target : kStatisticsPage;
    launch.lpParameters = "";
    launch.lpDirectory = "";
    launch.nShow = SW_SHOWNORMAL;
    // A shell that fails without an error of its own leaves whatever an
    // earlier call set, which would then be given as the reason.
    SetLastError(ERROR_SUCCESS);
    if (ShellExecuteExA(&launch) || !program)
        return true;
    DWORD error = LaunchError(launch);
    // The player declined a prompt (the game marked to run as administrator):
    // their own choice, not news to them; the program still did not start.
    if (error == ERROR_CANCELLED)
        return false;
    // The launcher's window is gone: the box has no owner, and must come to
    // the front on its own, above whatever the player has switched to.
    ShowFailure(NULL, MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST, program->failure,
                program->fileName, error);
    return false;
}
