#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

namespace test {

namespace {

// Sets every import slot of dll!function in this program; returns what the
// first one held, or NULL when the program does not import it.
void* SetImport(const char* dll, const char* function, void* target) {
    BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleA(NULL));
    IMAGE_NT_HEADERS* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    void* previous = NULL;
    for (IMAGE_IMPORT_DESCRIPTOR* entry =
             reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports);
         entry->Name; ++entry) {
        if (lstrcmpiA(reinterpret_cast<char*>(base + entry->Name), dll) != 0)
            continue;
        IMAGE_THUNK_DATA* name =
            reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
        IMAGE_THUNK_DATA* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (; name->u1.AddressOfData; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) ||
                lstrcmpA(
                    reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData)->Name,
                    function) != 0)
                continue;
            DWORD protection;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE,
                           &protection);
            if (!previous)
                previous = reinterpret_cast<void*>(slot->u1.Function);
            slot->u1.Function = reinterpret_cast<DWORD_PTR>(target);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
        }
    }
    return previous;
}

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

ScopedImportPatch::ScopedImportPatch(const char* dll, const char* function, void* replacement)
    : dll_(dll), function_(function), original_(SetImport(dll, function, replacement)) {
    EXPECT_TRUE(original_ != NULL) << "no import of " << dll << "!" << function;
}

ScopedImportPatch::~ScopedImportPatch() {
    if (original_)
        SetImport(dll_, function_, original_);
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
