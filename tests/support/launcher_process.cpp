#include "support/launcher_process.h"

#include "support/test_support.h"

#include <cstring>
#include <vector>

namespace test {

std::string BuildDir() {
    std::string dir = ModuleDir();
    return dir.substr(0, dir.find_last_of('\\'));
}

void PrepareGameFolder(const std::string& folder) {
    std::string stub = ModuleDir() + "\\stub_target.exe";
    CopyFileA(stub.c_str(), (folder + "\\_Varnholt.exe").c_str(), FALSE);
    CopyFileA(stub.c_str(), (folder + "\\xpad.exe").c_str(), FALSE);
}

bool WaitForFile(const std::string& path, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!FileExists(path)) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(20);
    }
    return true;
}

std::string RecordedUrls() {
    std::string text;
    ReadFileBytes(ModuleDir() + "\\url_recorder.log", &text);
    return text;
}

namespace {

// The system's text for the error, its first line; empty when it has none.
std::string SystemText(DWORD error) {
    char text[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0, text,
                   sizeof text, NULL);
    return std::string(text, std::strcspn(text, "\r\n"));
}

} // namespace

void ExpectFailureMessage(HWND box, const std::string& path, DWORD error, const char* what) {
    char text[2048] = "";
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text); // a message box's text
    // Wine lacks the text of some errors (ERROR_FILE_READ_ONLY among them).
    std::string expected = SystemText(error);
    size_t insert = expected.find("%1");
    if (insert != std::string::npos)
        expected.replace(insert, 2, path.substr(path.find_last_of('\\') + 1));
    const std::string message = text, number = " " + std::to_string(error);
    if (what) {
        EXPECT_EQ(what, message.substr(0, message.find('\n')));
    }
    EXPECT_NE(std::string::npos, message.find(path)) << message;
    EXPECT_NE(std::string::npos, message.find(expected)) << message;
    EXPECT_EQ(message.size() - number.size(), message.rfind(number)) << "no error number";
    // A failure never reads as a success.
    EXPECT_EQ(std::string::npos, message.find("Error 0")) << message;
    EXPECT_EQ(std::string::npos, message.find(SystemText(ERROR_SUCCESS))) << message;
}

ChildProcess::ChildProcess() {
    ZeroMemory(&info_, sizeof info_);
}

ChildProcess::~ChildProcess() {
    if (!info_.hProcess)
        return;
    if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(info_.hProcess, 99);
        WaitForSingleObject(info_.hProcess, 5000);
    }
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
}

bool ChildProcess::Start(const std::string& exePath, const std::string& workDir) {
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    std::vector<char> commandLine(exePath.begin(), exePath.end());
    commandLine.insert(commandLine.begin(), '"');
    commandLine.push_back('"');
    commandLine.push_back('\0');
    return CreateProcessA(exePath.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL,
                          workDir.c_str(), &startup, &info_) != 0;
}

namespace {

struct WindowQuery {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
    WindowQuery* query = reinterpret_cast<WindowQuery*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == query->processId && IsWindowVisible(window))
        query->found.push_back(window);
    return TRUE;
}

} // namespace

std::vector<HWND> ChildProcess::VisibleWindows() const {
    WindowQuery query;
    query.processId = info_.dwProcessId;
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

HWND ChildProcess::WaitForWindow(const char* className, const char* title, DWORD timeoutMs,
                                 HWND except) const {
    DWORD start = GetTickCount();
    for (;;) {
        std::vector<HWND> windows = VisibleWindows();
        for (size_t i = 0; i < windows.size(); ++i) {
            if (windows[i] != except && IsVisibleWindowOf(windows[i], className, title))
                return windows[i];
        }
        if (GetTickCount() - start > timeoutMs)
            return NULL;
        Sleep(20);
    }
}

bool ChildProcess::WaitForExit(DWORD timeoutMs, DWORD* exitCode) {
    if (WaitForSingleObject(info_.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return false;
    GetExitCodeProcess(info_.hProcess, exitCode);
    return true;
}

PreferFolderDlls::PreferFolderDlls(const std::string& program, const std::vector<std::string>& dlls,
                                   const char* windowsVersion)
    : app_("Software\\Wine\\AppDefaults\\" + program), dlls_(dlls), created_(false),
      versionSet_(false) {
    if (windowsVersion)
        versionSet_ =
            RegSetKeyValueA(HKEY_CURRENT_USER, app_.c_str(), "Version", REG_SZ, windowsVersion,
                            lstrlenA(windowsVersion) + 1) == ERROR_SUCCESS;
    HKEY key;
    DWORD disposition = 0;
    std::string path = app_ + "\\DllOverrides";
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL, &key,
                        &disposition) != ERROR_SUCCESS)
        return;
    created_ = disposition == REG_CREATED_NEW_KEY;
    const char value[] = "native,builtin";
    for (size_t i = 0; i < dlls_.size(); ++i)
        RegSetValueExA(key, dlls_[i].c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                       sizeof value);
    RegCloseKey(key);
}

PreferFolderDlls::~PreferFolderDlls() {
    std::string path = app_ + "\\DllOverrides";
    if (versionSet_)
        RegDeleteKeyValueA(HKEY_CURRENT_USER, app_.c_str(), "Version");
    if (created_) {
        RegDeleteKeyA(HKEY_CURRENT_USER, path.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, app_.c_str());
        return;
    }
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    for (size_t i = 0; i < dlls_.size(); ++i)
        RegDeleteValueA(key, dlls_[i].c_str());
    RegCloseKey(key);
}

void LauncherInGameFolder::Launch(const std::string& exePath) {
    PrepareGameFolder(folder_.path());
    ASSERT_TRUE(launcher_.Start(exePath, folder_.path())) << exePath;
    window_ = launcher_.WaitForWindow("#32770", "Varnholt", 20000);
    ASSERT_TRUE(window_ != NULL) << "the launcher window did not show";
}

DWORD LauncherInGameFolder::ExitCode() {
    DWORD code = 12345;
    EXPECT_TRUE(launcher_.WaitForExit(20000, &code)) << "the launcher did not exit";
    return code;
}

std::string LauncherInGameFolder::Ran(const char* name) const {
    return folder_.path() + "\\" + name + ".ran";
}

} // namespace test
