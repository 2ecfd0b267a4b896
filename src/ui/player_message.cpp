// Unlike the rest of the program, which keeps its strings in the ANSI code
// page, these messages are built and shown with the wide functions: a game
// folder whose name lies outside the player's code page then shows as it is
// rather than as question marks, which would send the player to the wrong
// place. The text is put together in plain buffers: the C++ string classes
// would bring the runtime's exception machinery into the program.
#include "ui/player_message.h"

#include <wchar.h>

namespace {

int Length(const wchar_t* text) {
    return text ? static_cast<int>(wcslen(text)) : 0;
}

// Appends `text` at `*at`, which stays within the buffer's `end`.
void Append(wchar_t** at, const wchar_t* end, const wchar_t* text, int length) {
    for (int i = 0; i < length && *at < end; ++i)
        *(*at)++ = text[i];
}

// The system's own words for the error, in the player's language; NULL when
// the system has none. Freed with LocalFree.
wchar_t* SystemReason(DWORD error, int* length) {
    wchar_t* text = NULL;
    DWORD got = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS,
                               NULL, error, 0, reinterpret_cast<wchar_t*>(&text), 0, NULL);
    if (got == 0 || !text)
        return NULL;
    // Without the line break that ends it.
    while (got > 0 && (text[got - 1] == L'\r' || text[got - 1] == L'\n' || text[got - 1] == L' '))
        --got;
    *length = static_cast<int>(got);
    return text;
}

// Appends the system's reason with its "%1" read as the file's name: Windows
// words some errors around the file ("%1 is not a valid Win32 application.").
void AppendReason(wchar_t** at, const wchar_t* end, const wchar_t* reason, int length,
                  const wchar_t* name) {
    for (int i = 0; i < length; ++i) {
        if (reason[i] == L'%' && i + 1 < length && reason[i + 1] == L'1') {
            Append(at, end, name, Length(name));
            ++i;
        } else {
            Append(at, end, reason + i, 1);
        }
    }
}

} // namespace

void ShowFailure(HWND owner, UINT style, const wchar_t* what, const wchar_t* name, DWORD error) {
    // The current folder, where the player would find the file; left out when
    // it cannot be read, so that the bare name still shows.
    DWORD folderSize = GetCurrentDirectoryW(0, NULL);
    int reasonLength = 0;
    wchar_t* reason = SystemReason(error, &reasonLength);
    const int size =
        Length(what) + static_cast<int>(folderSize) + 2 * Length(name) + reasonLength + 64;
    wchar_t* text = new wchar_t[size];
    wchar_t* at = text;
    const wchar_t* end = text + size - 1;
    Append(&at, end, what, Length(what));
    Append(&at, end, L"\n\n", 2);
    if (folderSize > 0) {
        DWORD length = GetCurrentDirectoryW(folderSize, at);
        if (length > 0 && length < folderSize) {
            at += length;
            // Only a drive's root ends with a backslash of its own.
            if (at[-1] != L'\\')
                Append(&at, end, L"\\", 1);
        }
    }
    Append(&at, end, name, Length(name));
    Append(&at, end, L"\n\n", 2);
    if (reason) {
        AppendReason(&at, end, reason, reasonLength, name);
        Append(&at, end, L"\n", 1);
        LocalFree(reason);
    }
    wchar_t number[32];
    int numberLength = wsprintfW(number, L"Error %lu", error);
    Append(&at, end, number, numberLength);
    *at = L'\0';
    MessageBoxW(owner, text, L"Varnholt", style | MB_OK);
    delete[] text;
}
