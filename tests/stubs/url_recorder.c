/* The test prefix's http handler: appends the URL it is asked to open to
   url_recorder.log beside itself, one line each. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    char path[MAX_PATH + 16];
    DWORD length;
    char* slash;
    FILE* out;
    (void)instance;
    (void)previous;
    (void)show;
    length = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 1;
    slash = strrchr(path, '\\');
    if (!slash)
        return 1;
    strcpy(slash + 1, "url_recorder.log");
    out = fopen(path, "ab");
    if (!out)
        return 1;
    /* The handler is registered as "recorder.exe" "%1": strip the quotes. */
    if (commandLine[0] == '"') {
        size_t n = strlen(commandLine);
        if (n >= 2 && commandLine[n - 1] == '"') {
            commandLine[n - 1] = '\0';
        }
        ++commandLine;
    }
    fprintf(out, "%s\n", commandLine);
    fclose(out);
    return 0;
}
