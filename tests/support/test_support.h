// Small helpers shared by the tests: files, folders and message pumping.
#ifndef LAUNCHER_TEST_SUPPORT_H
#define LAUNCHER_TEST_SUPPORT_H

#include <windows.h>

#include <string>

namespace test {

// A fresh, empty folder under the system temp folder that becomes the current
// directory for the test's life; the previous current directory comes back
// and the folder is removed afterwards.
class ScopedTempDir {
  public:
    ScopedTempDir();
    ~ScopedTempDir();
    const std::string& path() const { return path_; }

  private:
    ScopedTempDir(const ScopedTempDir&);
    ScopedTempDir& operator=(const ScopedTempDir&);
    std::string path_;
    std::string previous_;
};

// Whole file as bytes; false when it cannot be read.
bool ReadFileBytes(const std::string& path, std::string* bytes);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// The Linux path of a file under Wine; empty when not running under Wine.
std::string UnixPath(const std::string& windowsPath);

// Runs a shell command on the Linux side (Wine starts Linux programs too) and
// waits for it; true when it exited with status 0. For what only the Linux
// side can make: symbolic links, hard links, sparse files, extended attributes.
bool RunUnix(const std::string& command);

// Folder of the running test program (no trailing backslash).
std::string ModuleDir();

// True when the window is visible and has this class and title (a NULL
// class or title matches any).
bool IsVisibleWindowOf(HWND window, const char* className, const char* title);

// Dispatches pending messages for up to the given time.
void PumpMessages(DWORD milliseconds);

// Points this program's imports of dll!function (the program's own code and
// the launcher's code linked into it) at a replacement for the object's life,
// so that a test sees the calls; `original` is the real function.
class ScopedImportPatch {
  public:
    ScopedImportPatch(const char* dll, const char* function, void* replacement);
    ~ScopedImportPatch();
    void* original() const { return original_; }

  private:
    ScopedImportPatch(const ScopedImportPatch&);
    ScopedImportPatch& operator=(const ScopedImportPatch&);
    const char* dll_;
    const char* function_;
    void* original_;
};

} // namespace test

#endif
