/* Starts the Linux program named on its command line (Wine runs Linux
   programs too) and exits 0 once it has been started. The tests start Linux
   commands through this program rather than directly, so that the Linux
   process is forked from this short-lived process and not from the test,
   whose Direct3D is not left intact by it under Wine. */
#include <windows.h>

int main(void) {
    char* line = GetCommandLineA();
    /* Skip this program's own name, quoted or not. */
    if (*line == '"') {
        for (++line; *line && *line != '"'; ++line) {
        }
        if (*line)
            ++line;
    } else {
        while (*line && *line != ' ')
            ++line;
    }
    while (*line == ' ')
        ++line;
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return 1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}
