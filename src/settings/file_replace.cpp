// Replacing a file's content: the new content is made in full in a file of
// its own first, so that no failure leaves the old content lost.
#include "settings/file_replace.h"

#include <cstddef>

#include "common/system_dll.h"

namespace {

const DWORD kChunk = 16 * 1024;
// Longest resolved path handled; a file behind a longer one is rewritten in
// place rather than the path cut.
const DWORD kPathLength = 2048;

// Another launcher saving at the same moment holds the file (or the name a
// save replaces) open for a few milliseconds; a save waits that long for it.
// A game that keeps the file locked holds it far longer, and is left alone.
const DWORD kBusyWaitMs = 1000;
const DWORD kBusyStepMs = 5;

// What a file keeps when its content is replaced.
const DWORD kKeptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

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

// ReadFile and WriteFile may succeed with fewer bytes than asked for and set
// no error; the short count is then reported as the fault of the read or the
// write, rather than as a failure without a reason.
bool ReadExactly(HANDLE file, char* bytes, DWORD count) {
    DWORD got = 0;
    if (!ReadFile(file, bytes, count, &got, NULL))
        return false;
    if (got != count)
        SetLastError(ERROR_READ_FAULT);
    return got == count;
}

bool WriteExactly(HANDLE file, const char* bytes, DWORD count) {
    DWORD written = 0;
    if (!WriteFile(file, bytes, count, &written, NULL))
        return false;
    if (written != count)
        SetLastError(ERROR_WRITE_FAULT);
    return written == count;
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
        if (!ReadExactly(source, chunk, part) || !WriteExactly(target, chunk, part))
            return false;
        from += part;
    }
    return true;
}

// Ends the file at `size`. A program that maps the file (a virus scanner does,
// for a moment) makes that fail; it is waited for as for a busy file.
DWORD CutAt(HANDLE file, ULONGLONG size) {
    DWORD start = GetTickCount();
    for (;;) {
        if (SeekTo(file, size) && SetEndOfFile(file))
            return ERROR_SUCCESS;
        DWORD error = LastError();
        if (error != ERROR_USER_MAPPED_FILE || !WaitedForBusy(start))
            return error;
    }
}

// Overwrites [from, to) with blank lines, spaces ended by CR LF, the last line
// ending at `to`: what follows the new content then reads as nothing.
bool Blank(HANDLE file, ULONGLONG from, ULONGLONG to) {
    char chunk[kChunk];
    for (std::size_t i = 0; i < kChunk; ++i)
        chunk[i] = i % 64 == 62 ? '\r' : i % 64 == 63 ? '\n' : ' ';
    if (!SeekTo(file, from))
        return false;
    for (ULONGLONG at = from; at < to;) {
        DWORD part = to - at > kChunk ? kChunk : static_cast<DWORD>(to - at);
        if (!WriteExactly(file, chunk, part))
            return false;
        at += part;
    }
    const char lineEnd[] = "\r\n";
    const DWORD tail = to - from < 2 ? static_cast<DWORD>(to - from) : 2;
    return SeekTo(file, to - tail) && WriteExactly(file, lineEnd + 2 - tail, tail);
}

// Writes the complete new content, staged in `content`, over the file itself.
// The part beyond the old end is written first: should the disk be full, the
// file is cut back and keeps its old content whole. (Only writing takes the
// room; extending the size alone may leave a hole.) What this cannot promise:
// a process killed, or a disk or network failure, while the old bytes are
// being overwritten can leave the new content followed by the rest of the old.
// The swap has no such moment, which is why it stays the normal way.
DWORD RewriteInPlace(HANDLE file, ULONGLONG oldSize, HANDLE content, ULONGLONG newSize) {
    if (newSize > oldSize && !CopyRange(content, file, oldSize, newSize)) {
        DWORD error = LastError();
        CutAt(file, oldSize);
        return error;
    }
    if (!CopyRange(content, file, 0, newSize < oldSize ? newSize : oldSize))
        return LastError();
    DWORD error = newSize < oldSize ? CutAt(file, newSize) : ERROR_SUCCESS;
    // A file that stays mapped keeps its length. Once what follows the new
    // content reads as blank lines, the file says exactly the new content:
    // whoever reads it next gets what was saved, so the save succeeded.
    if (error == ERROR_USER_MAPPED_FILE && !Blank(file, newSize, oldSize))
        return LastError();
    if (error != ERROR_SUCCESS && error != ERROR_USER_MAPPED_FILE)
        return error;
    return FlushFileBuffers(file) ? ERROR_SUCCESS : LastError();
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

// The full path of the file that the open handle reaches, through any links,
// and the length of its folder's part. Windows before Vista has no way to ask,
// and no symbolic links to files either, so there the name itself is the file.
bool ResolvedPath(const wchar_t* name, HANDLE file, wchar_t* path, std::size_t* folderLength) {
    typedef DWORD(WINAPI * FinalPathFn)(HANDLE, LPWSTR, DWORD, DWORD);
    FinalPathFn finalPath =
        FindFunction<FinalPathFn>(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleW");
    // GetFinalPathNameByHandleW takes the room for the path without its
    // terminating zero, so one character of the buffer is kept back for it.
    const DWORD size = kPathLength - 1;
    DWORD length = 0;
    if (!finalPath) {
        length = GetFullPathNameW(name, size, path, NULL);
    } else {
        // The normalized form looks up every folder's name, which a share
        // refuses where one on the path may not be listed; the form the file
        // was opened by needs no such look-up and names the same folder.
        length = finalPath(file, path, size, FILE_NAME_NORMALIZED);
        if (length == 0)
            length = finalPath(file, path, size, FILE_NAME_OPENED);
    }
    // A length of the size or more is the room the path would need.
    if (length == 0 || length >= size)
        return false;
    *folderLength = length;
    while (*folderLength > 0 && path[*folderLength - 1] != L'\\')
        --*folderLength;
    return *folderLength > 0;
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

// Windows answers a name that a file being deleted still holds with "access
// denied", as it answers a folder that grants no new file; only the name's
// presence tells them apart.
bool NameTaken(DWORD error, const wchar_t* path) {
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
        return true;
    return error == ERROR_ACCESS_DENIED && (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES ||
                                            GetLastError() != ERROR_FILE_NOT_FOUND);
}

// Creates "<base>.~XXXXXXXX.tmp" under a name nobody else holds: created only
// if no file of that name exists, so that it is never another program's file,
// nor inherits anything of one. When it cannot be made, `*error` says why, and
// is ERROR_FILE_EXISTS when every name tried was taken.
HANDLE CreateTempFile(const wchar_t* base, DWORD share, DWORD flags, wchar_t* temp, DWORD* error) {
    std::size_t baseLength = Length(base);
    DWORD first = GetTickCount() ^ (GetCurrentProcessId() << 16) ^ GetCurrentThreadId();
    for (DWORD attempt = 0; attempt < 64; ++attempt) {
        wchar_t digits[kTempDigits + 1];
        HexName(first + attempt * 2654435761u, digits);
        if (!AppendTo(temp, 0, base) || !AppendTo(temp, baseLength, kTempMark) ||
            !AppendTo(temp, baseLength + 2, digits) ||
            !AppendTo(temp, baseLength + 2 + kTempDigits, kTempEnd)) {
            *error = ERROR_FILENAME_EXCED_RANGE;
            return INVALID_HANDLE_VALUE;
        }
        HANDLE file =
            CreateFileW(temp, GENERIC_READ | GENERIC_WRITE, share, NULL, CREATE_NEW, flags, NULL);
        if (file != INVALID_HANDLE_VALUE)
            return file;
        *error = LastError();
        if (!NameTaken(*error, temp))
            return INVALID_HANDLE_VALUE;
    }
    *error = ERROR_FILE_EXISTS;
    return INVALID_HANDLE_VALUE;
}

// The file beside `target` that is swapped in. Kept open, and so safe from
// another launcher's clean-up, until it has been moved into place; others may
// read it, so that a load in the instant between the move and the close reads
// the new content.
HANDLE CreateBeside(const wchar_t* target, std::size_t folderLength, DWORD attributes,
                    wchar_t* temp, DWORD* error) {
    RemoveLeftovers(target, folderLength);
    return CreateTempFile(target, FILE_SHARE_READ | FILE_SHARE_DELETE, attributes, temp, error);
}

// A file in the player's temporary folder that holds the new content while the
// file is rewritten in place; the system removes it when it is closed, even
// when the process is killed.
HANDLE CreateStaging(const wchar_t* name, DWORD* error) {
    wchar_t base[kPathLength];
    DWORD length = GetTempPathW(kPathLength, base);
    if (length == 0 || length >= kPathLength) {
        *error = length == 0 ? LastError() : ERROR_FILENAME_EXCED_RANGE;
        return INVALID_HANDLE_VALUE;
    }
    const wchar_t* stem = name + Length(name);
    while (stem > name && stem[-1] != L'\\' && stem[-1] != L'/' && stem[-1] != L':')
        --stem;
    if (!AppendTo(base, length, stem)) {
        *error = ERROR_FILENAME_EXCED_RANGE;
        return INVALID_HANDLE_VALUE;
    }
    wchar_t temp[kPathLength];
    return CreateTempFile(base, 0, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, temp,
                          error);
}

// The attributes of the file that `name` finally is; 0 when unknown.
// GetFileAttributesW reads those of a symbolic link itself, which are not its
// target's: a read-only file behind a link would read as writable.
DWORD FileAttributes(const wchar_t* name) {
    // Reading attributes alone is allowed whatever sharing the file's holders
    // granted.
    HANDLE file = CreateFileW(name, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD attributes = GetFileAttributesW(name);
        return attributes != INVALID_FILE_ATTRIBUTES ? attributes : 0;
    }
    BY_HANDLE_FILE_INFORMATION info;
    DWORD attributes = GetFileInformationByHandle(file, &info) ? info.dwFileAttributes : 0;
    CloseHandle(file);
    return attributes;
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

ULONGLONG SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

// Moves the staged file over the target; `*original` is closed first, as the
// file must be closed to be replaced. When the move is refused, the file is
// opened again as at first, as `*original`, and rewritten in place: opened for
// writing while others may only read, so that a file that another program
// holds for writing is still left alone.
DWORD SwapIn(const wchar_t* name, HANDLE* original, const wchar_t* temp, const wchar_t* target,
             HANDLE staged, ULONGLONG newSize, bool* moved) {
    CloseHandle(*original);
    *original = INVALID_HANDLE_VALUE;
    *moved = MoveIntoPlace(temp, target);
    if (*moved)
        return ERROR_SUCCESS;
    DWORD error = ERROR_SUCCESS;
    *original = OpenForReplace(name, &error);
    if (*original == INVALID_HANDLE_VALUE)
        return error;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(*original, &info))
        return LastError();
    if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
        return ERROR_FILE_READ_ONLY;
    return RewriteInPlace(*original, SizeOf(info), staged, newSize);
}

// The replacement of an existing, writable file, open as `*original`, which
// may be closed here and set to another handle or INVALID_HANDLE_VALUE.
// The new content goes to a file beside the target, to be swapped in; where
// the target's folder is not known, or refuses a new file, it is staged in the
// temporary folder and the file rewritten in place.
DWORD ReplaceOver(const wchar_t* name, HANDLE* original, const BY_HANDLE_FILE_INFORMATION& info,
                  ContentWriter& writer) {
    // Archive as well, as any write gives it: backups that follow the
    // attribute take the new content.
    const DWORD attributes = (info.dwFileAttributes & kKeptAttributes) | FILE_ATTRIBUTE_ARCHIVE;
    wchar_t target[kPathLength];
    wchar_t temp[kPathLength];
    temp[0] = L'\0';
    std::size_t folderLength = 0;
    DWORD error = ERROR_SUCCESS;
    HANDLE staged = INVALID_HANDLE_VALUE;
    if (ResolvedPath(name, *original, target, &folderLength)) {
        staged = CreateBeside(target, folderLength, attributes, temp, &error);
        if (staged == INVALID_HANDLE_VALUE && error == ERROR_FILE_EXISTS)
            return error;
    }
    if (staged == INVALID_HANDLE_VALUE) {
        temp[0] = L'\0';
        staged = CreateStaging(name, &error);
        if (staged == INVALID_HANDLE_VALUE)
            return error;
    }
    ULONGLONG newSize = 0;
    bool moved = false;
    if (!WriteNewContent(writer, *original, staged, &newSize) ||
        (temp[0] && !SetFileAttributesW(temp, attributes)))
        error = LastError();
    else if (!temp[0] || info.nNumberOfLinks > 1)
        // Swapping a file with further hard links would leave the other names
        // behind with the old content.
        error = RewriteInPlace(*original, SizeOf(info), staged, newSize);
    else
        error = SwapIn(name, original, temp, target, staged, newSize, &moved);
    CloseHandle(staged);
    if (temp[0] && !moved)
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
        if (FileAttributes(name) & FILE_ATTRIBUTE_READONLY) {
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
