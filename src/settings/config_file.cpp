// config.cfg on disk. The file is read in binary, so that the C runtime's text
// mode (which stops at a Ctrl-Z and drops what follows a zero byte) cannot
// lose bytes; config_text does the line handling. A save never writes into
// config.cfg itself: it writes a complete new file beside it and swaps it in,
// so the file is always either the old or the new content.
#include <windows.h>

#include "settings/config_text.h"
#include "settings/game_settings.h"

GameSettings g_gameSettings;

namespace {

const char kConfigPath[] = "config.cfg";
// Fixed rather than unique, so that a save cut short by a killed process
// leaves at most this one file, which the next save reuses.
const char kTempPath[] = "config.cfg.tmp";

const DWORD kChunk = 64 * 1024;

// False also when the file is too large to hold in memory.
bool ReadAll(HANDLE file, ByteBuffer* bytes) {
    bytes->Clear();
    char chunk[16 * 1024];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, sizeof chunk, &got, NULL))
            return false;
        if (got == 0)
            return true;
        if (!bytes->Append(chunk, got))
            return false;
    }
}

bool WriteAll(HANDLE file, const ByteBuffer& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t left = bytes.size() - done;
        DWORD part = left > kChunk ? kChunk : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(file, bytes.data() + done, part, &written, NULL) || written == 0)
            return false;
        done += written;
    }
    return true;
}

// The current content of config.cfg, for a save. `exists` tells whether there
// was a file; false when the file is there but must not be replaced: it cannot
// be read (its content would be lost), it is read-only, or someone holds it
// open without letting others write (the running game).
bool ReadForSave(ByteBuffer* content, bool* exists) {
    // Asking for write access as well makes the open fail exactly when the
    // file may not be replaced.
    HANDLE file = CreateFileA(kConfigPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        *exists = false;
        content->Clear();
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    *exists = true;
    // Wine running as root opens a read-only file for writing and renames
    // over it, so the attribute is checked as well.
    BY_HANDLE_FILE_INFORMATION info;
    bool ok = GetFileInformationByHandle(file, &info) &&
              !(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) && ReadAll(file, content);
    CloseHandle(file);
    return ok;
}

bool WriteTempFile(const ByteBuffer& content) {
    HANDLE file =
        CreateFileA(kTempPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false; // nothing created, and whatever stands there is not ours
    bool ok = WriteAll(file, content) && FlushFileBuffers(file);
    if (!CloseHandle(file))
        ok = false;
    if (!ok)
        DeleteFileA(kTempPath);
    return ok;
}

} // namespace

void SaveSettings() {
    ByteBuffer current;
    bool exists = false;
    if (!ReadForSave(&current, &exists))
        return;
    // Building the new content is the only step that may run out of memory;
    // no file has been touched by then.
    ByteBuffer content;
    if (!RewriteSettingsText(current.data(), current.size(), g_gameSettings, content))
        return;
    if (!WriteTempFile(content))
        return;
    // Replacing only a file that was there keeps a config.cfg that appeared
    // meanwhile from being overwritten unread.
    DWORD flags = MOVEFILE_WRITE_THROUGH | (exists ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!MoveFileExA(kTempPath, kConfigPath, flags))
        DeleteFileA(kTempPath);
}

void LoadSettings() {
    HANDLE file = CreateFileA(kConfigPath, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    ByteBuffer bytes;
    bool ok = ReadAll(file, &bytes);
    CloseHandle(file);
    if (ok)
        ApplySettingsText(bytes.data(), bytes.size(), g_gameSettings);
}
