// Runs the real launcher.exe (or another program of the build) in a game
// folder and finds its windows, for the end-to-end tests.
#ifndef LAUNCHER_TEST_LAUNCHER_PROCESS_H
#define LAUNCHER_TEST_LAUNCHER_PROCESS_H

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace test {

// The build folder that holds launcher.exe (the tests live in its tests\).
std::string BuildDir();

// Copies the stub target program into the folder as _Varnholt.exe and
// xpad.exe; each writes NAME.ran beside itself when it runs.
void PrepareGameFolder(const std::string& folder);

// Waits until the file exists; false after the timeout.
bool WaitForFile(const std::string& path, DWORD timeoutMs);

// The lines that the tests' http handler has recorded so far.
std::string RecordedUrls();

// Checks that a message box of the launcher tells the player of the failure:
// what failed as its first line (when given), the file's full path, the
// system's reason for the error and its number.
void ExpectFailureMessage(HWND box, const std::string& path, DWORD error, const char* what = NULL);

class ChildProcess {
  public:
    ChildProcess();
    ~ChildProcess(); // ends the process if it still runs

    bool Start(const std::string& exePath, const std::string& workDir);
    // A visible top-level window of the process with this class and title
    // (NULL matches any), other than `except`; NULL after the timeout.
    HWND WaitForWindow(const char* className, const char* title, DWORD timeoutMs,
                       HWND except = NULL) const;
    // The process's visible top-level windows.
    std::vector<HWND> VisibleWindows() const;
    // True and the exit code once the process has ended within the timeout.
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode);
    DWORD id() const { return info_.dwProcessId; }
    HANDLE handle() const { return info_.hProcess; }

  private:
    ChildProcess(const ChildProcess&);
    ChildProcess& operator=(const ChildProcess&);
    PROCESS_INFORMATION info_;
};

// Makes Wine's loader prefer the DLLs of these names (without ".dll") found
// beside the named program over its own copies, as Windows does for DLLs that
// are not KnownDLLs. Wine reads this per-program setting from the registry;
// it is removed again afterwards, with the Windows version that Wine reports
// to the program ("vista", ...) when one is given.
class PreferFolderDlls {
  public:
    PreferFolderDlls(const std::string& program, const std::vector<std::string>& dlls,
                     const char* windowsVersion = NULL);
    ~PreferFolderDlls();

  private:
    PreferFolderDlls(const PreferFolderDlls&);
    PreferFolderDlls& operator=(const PreferFolderDlls&);
    std::string app_;
    std::vector<std::string> dlls_;
    bool created_;
    bool versionSet_;
};

// Base of the tests that run a launcher program in a fresh game folder, with
// the stub targets in it, and drive it through its window.
class LauncherInGameFolder : public ::testing::Test {
  protected:
    LauncherInGameFolder() : window_(NULL) {}

    // Starts the program in the folder and waits for its window; the test
    // fails when the window does not show.
    void Launch(const std::string& exePath);
    // Waits for the program to end and returns its exit code.
    DWORD ExitCode();
    // The file that the stub writes when it runs as NAME.exe.
    std::string Ran(const char* name) const;

    ScopedTempDir folder_;
    ChildProcess launcher_;
    HWND window_;
};

} // namespace test

#endif
