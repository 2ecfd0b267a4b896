// Replacing the content of a file without ever losing it. Normally the new
// content is written in full beside the file that the name finally is
// (through any symbolic links) and swapped in, so that the file is always
// either the old or the new content, and a link stays a link. The file is
// rewritten in place instead, once the new content is complete on disk, where
// a swap cannot be made: it has further hard links, its folder is not known
// or grants no new file, or the move over it is refused. Busy files are
// waited for a moment; temporary files that a killed process left are removed.
#ifndef LAUNCHER_FILE_REPLACE_H
#define LAUNCHER_FILE_REPLACE_H

#include <windows.h>

// Makes the new content of a file out of its old one.
class ContentWriter {
  public:
    // Writes the complete new content to `out` while reading the old one from
    // `in`, from its start. False when a read or a write failed, with the
    // reason in GetLastError.
    virtual bool WriteContent(HANDLE in, HANDLE out) = 0;

  protected:
    ~ContentWriter() {}
};

// Opens an existing file for a replacement: for reading and writing, while
// others may only read. Asking for write access makes the open fail exactly
// when the file may not be replaced: it is read-only, or someone holds it
// open without letting others write. A file that another process has open
// for a moment is waited for. On failure returns INVALID_HANDLE_VALUE and sets
// `*error`: ERROR_FILE_READ_ONLY for a read-only file.
HANDLE OpenForReplace(const wchar_t* name, DWORD* error);

// Replaces the content of `file`, opened by OpenForReplace under `name`, with
// what `writer` makes of it, and closes `file`. Returns ERROR_SUCCESS, or the
// Windows error code of the step that failed; a read-only file is left alone
// with ERROR_FILE_READ_ONLY.
DWORD ReplaceContent(const wchar_t* name, HANDLE file, ContentWriter& writer);

#endif
