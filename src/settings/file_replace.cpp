// Replacing a file's content: the new content is made in full in a file of
// its own first, so that no moment leaves the old content lost.
#include "settings/file_replace.h"

#include <cstddef>

namespace {

const DWORD kChunk = 16 * 1024;
// Longest resolved path handled; a longer one is not replaced rather than cut.
const DWORD kPathLength = 2048;

// Another launcher saving at the same moment holds the file (or the name a
// save replaces) open for a few milliseconds; a save waits that long for it.
// A game that keeps the file locked holds it far longer, and is left alone.
const DWORD kBusyWaitMs = 1000;
const DWORD kBusyStepMs = 5;

// What a file keeps when its content is replaced.
const DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Our own temporary files are "<name>.~XXXXXXXX.tmp", XXXXXXXX in hex digits.
const wchar_t kTempMark[] = L".~";
const wchar_t kTempEnd[] = L".tmp";
const std::size_t kTempDigits = 8;

// The error of the call that just failed, never ERROR_SUCCESS: a step that
// fails without saying why still reports a failure.
DWORD LastError() {
    DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

bool IsBusy(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED;
}

// Waits one step while the time for a busy file lasts.
bool WaitedForBusy(DWORD start) {
    if (GetTickCount() - start >= kBusyWaitMs)
        return false;
    Sleep(kBusyStepMs);
    return true;
}

bool SeekTo(HANDLE file, ULONGLONG offset) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, to, NULL, FILE_BEGIN) != 0;
}

// Copies [from, to) of one file to the same offsets of another.
bool CopyRange(HANDLE source, HANDLE target, ULONGLONG from, ULONGLONG to) {
    char chunk[kChunk];
    if (!SeekTo(source, from) || !SeekTo(target, from))
        return false;
    while (from < to) {
        DWORD part = to - from > kChunk ? kChunk : static_cast<DWORD>(to - from);
        DWORD got = 0;
        DWORD written = 0;
        if (!ReadFile(source, chunk, part, &got, NULL) || got != part)
            return false;
        if (!WriteFile(target, chunk, part, &written, NULL) || written != part)
            return false;
        from += part;
    }
    return true;
}

// Writes the complete new content over the file, for a file that other names
// share. The part beyond the old end is written first: should the disk be
// full, the file is cut back and keeps its old content whole. (Only writing
// takes the room; extending the size alone may leave a hole.)
bool RewriteInPlace(HANDLE file, ULONGLONG oldSize, HANDLE content, ULONGLONG newSize) {
    if (newSize > oldSize && !CopyRange(content, file, oldSize, newSize)) {
        if (SeekTo(file, oldSize))
            SetEndOfFile(file);
        return false;
    }
    if (!CopyRange(content, file, 0, newSize < oldSize ? newSize : oldSize))
        return false;
    return SeekTo(file, newSize) && SetEndOfFile(file) && FlushFileBuffers(file);
}

// The full path of the file that the open handle reaches, through any links.
// Windows before Vista has no way to ask, and no symbolic links to files
// either, so there the name itself is the file.
bool ResolvedPath(const wchar_t* name, HANDLE file, wchar_t* path) {
    typedef DWORD(WINAPI * FinalPathFn)(HANDLE, LPWSTR, DWORD, DWORD);
    typedef void (*AnyFunction)(); // marks the conversion as intended
    FinalPathFn finalPath = reinterpret_cast<FinalPathFn>(reinterpret_cast<AnyFunction>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleW")));
    DWORD length = finalPath ? finalPath(file, path, kPathLength, 0)
                             : GetFullPathNameW(name, kPathLength, path, NULL);
    return length > 0 && length < kPathLength;
}

std::size_t Length(const wchar_t* text) {
    std::size_t n = 0;
    while (text[n])
        ++n;
    return n;
}

// Appends to `path`, which holds `used` characters; false when it would not fit.
bool AppendTo(wchar_t* path, std::size_t used, const wchar_t* tail) {
    std::size_t n = Length(tail);
    if (used + n >= kPathLength)
        return false;
    for (std::size_t i = 0; i <= n; ++i)
        path[used + i] = tail[i];
    return true;
}

bool IsOurTempName(const wchar_t* name, std::size_t stemLength) {
    const wchar_t* tail = name + stemLength + Length(kTempMark);
    for (std::size_t i = 0; i < kTempDigits; ++i) {
        wchar_t c = tail[i];
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f')))
            return false;
    }
    const wchar_t* end = tail + kTempDigits;
    return end[0] == L'.' && end[1] == L't' && end[2] == L'm' && end[3] == L'p' && !end[4];
}

// Removes temporary files of ours that a save cut short by a killed process
// left beside `target`. One that another launcher is writing is held open and
// cannot be opened here; nobody else's file has our name form.
void RemoveLeftovers(const wchar_t* target, std::size_t folderLength) {
    wchar_t pattern[kPathLength];
    std::size_t targetLength = Length(target);
    if (!AppendTo(pattern, 0, target) || !AppendTo(pattern, targetLength, L".~*.tmp"))
        return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    const std::size_t stemLength = targetLength - folderLength;
    do {
        if (Length(found.cFileName) != stemLength + 2 + kTempDigits + 4 ||
            !IsOurTempName(found.cFileName, stemLength))
            continue;
        wchar_t leftover[kPathLength];
        for (std::size_t i = 0; i < folderLength; ++i)
            leftover[i] = target[i];
        if (!AppendTo(leftover, folderLength, found.cFileName))
            continue;
        HANDLE file =
            CreateFileW(leftover, DELETE, 0, NULL, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, NULL);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

void HexName(DWORD value, wchar_t* out) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    for (std::size_t i = 0; i < kTempDigits; ++i)
        out[i] = kDigits[(value >> (4 * (kTempDigits - 1 - i))) & 0xF];
    out[kTempDigits] = L'\0';
}

// Creates a temporary file beside `target` under a name nobody else holds:
// created only if no file of that name exists, so that it is never another
// program's file, nor inherits anything of one. Kept open, and so safe from
// another launcher's clean-up, until it has been moved into place.
HANDLE CreateTempFile(const wchar_t* target, DWORD attributes, wchar_t* temp) {
    std::size_t targetLength = Length(target);
    DWORD first = GetTickCount() ^ (GetCurrentProcessId() << 16) ^ GetCurrentThreadId();
    for (DWORD attempt = 0; attempt < 64; ++attempt) {
        wchar_t digits[kTempDigits + 1];
        HexName(first + attempt * 2654435761u, digits);
        if (!AppendTo(temp, 0, target) || !AppendTo(temp, targetLength, kTempMark) ||
            !AppendTo(temp, targetLength + 2, digits) ||
            !AppendTo(temp, targetLength + 2 + kTempDigits, kTempEnd))
            return INVALID_HANDLE_VALUE;
        HANDLE file = CreateFileW(temp, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, NULL,
                                  CREATE_NEW, attributes, NULL);
        if (file != INVALID_HANDLE_VALUE)
            return file;
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS &&
            error != ERROR_ACCESS_DENIED)
            return INVALID_HANDLE_VALUE;
    }
    return INVALID_HANDLE_VALUE;
}

bool MoveIntoPlace(const wchar_t* temp, const wchar_t* target) {
    DWORD start = GetTickCount();
    for (;;) {
        if (MoveFileExW(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        if (!IsBusy(GetLastError()) || !WaitedForBusy(start))
            return false;
    }
}

// The new content of `original` into `temp`, on disk; its size in `*newSize`.
bool WriteNewContent(ContentWriter& writer, HANDLE original, HANDLE temp, ULONGLONG* newSize) {
    LARGE_INTEGER size;
    if (!writer.WriteContent(original, temp) || !FlushFileBuffers(temp) ||
        !GetFileSizeEx(temp, &size))
        return false;
    *newSize = static_cast<ULONGLONG>(size.QuadPart);
    return true;
}

// The replacement of an existing, writable file, open as `*original`; the
// handle is closed here, and set to INVALID_HANDLE_VALUE, when the file has to
// be replaced.
DWORD ReplaceOver(const wchar_t* name, HANDLE* original, const BY_HANDLE_FILE_INFORMATION& info,
                  ContentWriter& writer) {
    wchar_t target[kPathLength];
    if (!ResolvedPath(name, *original, target))
        return LastError();
    std::size_t folderLength = Length(target);
    while (folderLength > 0 && target[folderLength - 1] != L'\\')
        --folderLength;
    if (folderLength == 0)
        return ERROR_BAD_PATHNAME;
    RemoveLeftovers(target, folderLength);

    DWORD attributes = info.dwFileAttributes & kKeptAttributes;
    wchar_t temp[kPathLength];
    HANDLE file = CreateTempFile(target, attributes ? attributes : FILE_ATTRIBUTE_NORMAL, temp);
    if (file == INVALID_HANDLE_VALUE)
        return LastError();
    ULONGLONG newSize = 0;
    DWORD error = ERROR_SUCCESS;
    if (!WriteNewContent(writer, *original, file, &newSize) ||
        !SetFileAttributesW(temp, attributes ? attributes : FILE_ATTRIBUTE_NORMAL))
        error = LastError();
    if (error == ERROR_SUCCESS && info.nNumberOfLinks > 1) {
        ULONGLONG oldSize = (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        if (!RewriteInPlace(*original, oldSize, file, newSize))
            error = LastError();
        CloseHandle(file);
        DeleteFileW(temp);
        return error;
    }
    // The file itself must be closed before it can be replaced.
    CloseHandle(*original);
    *original = INVALID_HANDLE_VALUE;
    if (error == ERROR_SUCCESS && !MoveIntoPlace(temp, target))
        error = LastError();
    CloseHandle(file);
    if (error != ERROR_SUCCESS)
        DeleteFileW(temp);
    return error;
}

} // namespace

HANDLE OpenForReplace(const wchar_t* name, DWORD* error) {
    DWORD start = GetTickCount();
    for (;;) {
        HANDLE file = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        *error = GetLastError();
        if (file != INVALID_HANDLE_VALUE)
            return file;
        DWORD attributes = GetFileAttributesW(name);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
            *error = ERROR_FILE_READ_ONLY;
            return file;
        }
        if (!IsBusy(*error) || !WaitedForBusy(start))
            return file;
    }
}

DWORD ReplaceContent(const wchar_t* name, HANDLE file, ContentWriter& writer) {
    // Wine running as root opens a read-only file for writing and renames
    // over it, so the attribute is checked as well.
    BY_HANDLE_FILE_INFORMATION info;
    DWORD error = ERROR_FILE_READ_ONLY;
    if (!GetFileInformationByHandle(file, &info))
        error = LastError();
    else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY))
        error = ReplaceOver(name, &file, info, writer);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return error;
}
