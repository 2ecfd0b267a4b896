// config.cfg on disk. The file is read in binary, so that the C runtime's text
// mode (which stops at a Ctrl-Z and drops what follows a zero byte) cannot
// lose bytes; config_text does the line handling. Both directions stream
// through the file in fixed-size runs, so memory does not grow with it.
//
// A save never writes into config.cfg itself: file_replace writes the complete
// new content beside it and swaps it in (see there).
#include <windows.h>

#include "settings/config_text.h"
#include "settings/file_replace.h"
#include "settings/game_settings.h"

GameSettings g_gameSettings;

namespace {

const wchar_t kConfigPath[] = L"config.cfg";
const DWORD kChunk = 16 * 1024;

// The error of the call that just failed, never ERROR_SUCCESS: a step that
// fails without saying why still reports a failure.
DWORD LastError() {
    DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

class FileSink : public ByteSink {
  public:
    explicit FileSink(HANDLE file) : file_(file) {}
    bool Write(const char* bytes, std::size_t count) override {
        while (count > 0) {
            DWORD written = 0;
            DWORD part = count > kChunk ? kChunk : static_cast<DWORD>(count);
            if (!WriteFile(file_, bytes, part, &written, NULL))
                return false;
            if (written == 0) {
                SetLastError(ERROR_WRITE_FAULT);
                return false;
            }
            bytes += written;
            count -= written;
        }
        return true;
    }

  private:
    HANDLE file_;
};

// Streams the old content through the rewrite of the settings.
class SettingsWriter : public ContentWriter {
  public:
    bool WriteContent(HANDLE in, HANDLE out) override {
        FileSink sink(out);
        SettingsRewriter rewriter(g_gameSettings, sink);
        char chunk[kChunk];
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(in, chunk, sizeof chunk, &got, NULL))
                return false;
            if (got == 0)
                break;
            if (!rewriter.Feed(chunk, got))
                return false;
        }
        return rewriter.Finish();
    }
};

// A config.cfg that is not there becomes an empty file, as no line needs
// rewriting. Created only where no name stands: a symbolic link whose target is
// missing is left as it is, since following it would create a file somewhere
// else, in a folder that may not even exist.
DWORD CreateEmpty() {
    HANDLE file =
        CreateFileW(kConfigPath, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return LastError();
    return CloseHandle(file) ? ERROR_SUCCESS : LastError();
}

} // namespace

unsigned long SaveSettings() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD error = 0;
        HANDLE original = OpenForReplace(kConfigPath, &error);
        if (original != INVALID_HANDLE_VALUE) {
            SettingsWriter writer;
            return ReplaceContent(kConfigPath, original, writer);
        }
        if (error != ERROR_FILE_NOT_FOUND)
            return error; // read-only, cannot be read, or may not be replaced
        error = CreateEmpty();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            return error;
        // A file appeared meanwhile: save over it.
    }
    // The name stands, yet the file it names cannot be opened: a symbolic link
    // to a missing file. The player is told the file was not found, which is
    // what the open said, rather than that it exists.
    return ERROR_FILE_NOT_FOUND;
}

void LoadSettings() {
    HANDLE file = CreateFileW(kConfigPath, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    // Into a copy, so that a file that cannot be read to its end sets nothing.
    GameSettings loaded = g_gameSettings;
    SettingsLoader loader(loaded);
    char chunk[kChunk];
    bool ok = true;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, sizeof chunk, &got, NULL)) {
            ok = false;
            break;
        }
        if (got == 0)
            break;
        loader.Feed(chunk, got);
    }
    CloseHandle(file);
    loader.Finish();
    if (ok)
        g_gameSettings = loaded;
}
