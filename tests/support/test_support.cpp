#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

namespace test {

namespace {

void RemoveTree(const std::string& dir) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string full = dir + "\\" + name;
            SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(full);
            else
                DeleteFileA(full.c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    SetFileAttributesA(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryA(dir.c_str());
}

} // namespace

ScopedTempDir::ScopedTempDir() {
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, cwd);
    previous_ = cwd;
    for (unsigned attempt = 0;; ++attempt) {
        char name[MAX_PATH];
        std::snprintf(name, sizeof name, "%slauncher-test-%lu-%u", base, GetCurrentProcessId(),
                      static_cast<unsigned>(attempt + GetTickCount()));
        if (CreateDirectoryA(name, NULL)) {
            path_ = name;
            break;
        }
    }
    SetCurrentDirectoryA(path_.c_str());
}

ScopedTempDir::~ScopedTempDir() {
    SetCurrentDirectoryA(previous_.c_str());
    RemoveTree(path_);
}

bool ReadFileBytes(const std::string& path, std::string* bytes) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    bytes->clear();
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes->append(buffer, got);
    std::fclose(file);
    return true;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(file != NULL) << path;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string UnixPath(const std::string& windowsPath) {
    typedef char*(CDECL * ToUnixFn)(const WCHAR*);
    typedef void (*AnyFunction)();
    ToUnixFn toUnix = reinterpret_cast<ToUnixFn>(reinterpret_cast<AnyFunction>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    WCHAR wide[MAX_PATH];
    if (!toUnix || !MultiByteToWideChar(CP_ACP, 0, windowsPath.c_str(), -1, wide, MAX_PATH))
        return std::string();
    char* unix = toUnix(wide);
    if (!unix)
        return std::string();
    std::string path = unix;
    HeapFree(GetProcessHeap(), 0, unix);
    return path;
}

bool RunUnix(const std::string& command) {
    // Wine cannot wait for a Linux process, so the command leaves its exit
    // status in a file, which appears whole (renamed into place). It is
    // started through unix_shell.exe (see there).
    static unsigned counter = 0;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    char name[64];
    std::snprintf(name, sizeof name, "unix-status-%lu-%u", GetCurrentProcessId(), ++counter);
    const std::string status = std::string(temp) + name;
    const std::string unixStatus = UnixPath(status);
    if (unixStatus.empty())
        return false;
    std::string line = "\"" + ModuleDir() + "\\unix_shell.exe\" /bin/sh -c \"" + command +
                       "; echo $? >'" + unixStatus + ".part'; mv '" + unixStatus + ".part' '" +
                       unixStatus + "'\"";
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return false;
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::string code;
    for (DWORD start = GetTickCount(); GetTickCount() - start < 60000; Sleep(10)) {
        if (ReadFileBytes(status, &code)) {
            DeleteFileA(status.c_str());
            return code == "0\n";
        }
    }
    return false;
}

std::string ModuleDir() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string dir(path, length);
    return dir.substr(0, dir.find_last_of('\\'));
}

bool IsVisibleWindowOf(HWND window, const char* className, const char* title) {
    if (!IsWindowVisible(window))
        return false;
    char text[256];
    if (className) {
        GetClassNameA(window, text, sizeof text);
        if (lstrcmpA(text, className) != 0)
            return false;
    }
    if (title) {
        GetWindowTextA(window, text, sizeof text);
        if (lstrcmpA(text, title) != 0)
            return false;
    }
    return true;
}

void PumpMessages(DWORD milliseconds) {
    DWORD start = GetTickCount();
    do {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(5);
    } while (GetTickCount() - start < milliseconds);
}

} // namespace test
