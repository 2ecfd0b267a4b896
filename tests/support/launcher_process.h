// Runs the real launcher.exe (or another program of the build) in a game
// folder and finds its windows, for the end-to-end tests.
#ifndef LAUNCHER_TEST_LAUNCHER_PROCESS_H
#define LAUNCHER_TEST_LAUNCHER_PROCESS_H

#include <windows.h>

#include <string>

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

class ChildProcess {
  public:
    ChildProcess();
    ~ChildProcess(); // ends the process if it still runs

    bool Start(const std::string& exePath, const std::string& workDir);
    // A visible top-level window of the process with this class and title
    // (NULL matches any); NULL after the timeout.
    HWND WaitForWindow(const char* className, const char* title, DWORD timeoutMs) const;
    // True and the exit code once the process has ended within the timeout.
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode);
    DWORD id() const { return info_.dwProcessId; }
    HANDLE handle() const { return info_.hProcess; }

  private:
    ChildProcess(const ChildProcess&);
    ChildProcess& operator=(const ChildProcess&);
    PROCESS_INFORMATION info_;
};

} // namespace test

#endif
