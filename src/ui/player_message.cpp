// Unlike the rest of the program, which keeps its strings in the ANSI code
// page, these messages are built and shown with the wide functions: a game
// folder whose name lies outside the player's code page then shows as it is
// rather than as question marks, which would send the player to the wrong
// place.
#include "ui/player_message.h"

#include <string>

namespace {

// Where the player would find the file; the bare name when the current
// folder cannot be read.
std::wstring PathInCurrentFolder(const wchar_t* name) {
    DWORD size = GetCurrentDirectoryW(0, NULL);
    if (size == 0)
        return name;
    std::wstring path(size, L'\0');
    DWORD length = GetCurrentDirectoryW(size, &path[0]);
    if (length == 0 || length >= size)
        return name;
    path.resize(length);
    // Only a drive's root ends with a backslash of its own.
    if (path[length - 1] != L'\\')
        path += L'\\';
    return path + name;
}

// The system's own words for the error, without the line break that ends
// them; empty when the system has none.
std::wstring SystemReason(DWORD error) {
    wchar_t* text = NULL;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  NULL, error, 0, reinterpret_cast<wchar_t*>(&text), 0, NULL);
    if (length == 0 || !text)
        return std::wstring();
    while (length > 0 &&
           (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L' '))
        --length;
    std::wstring reason(text, length);
    LocalFree(text);
    return reason;
}

} // namespace

void ShowFailure(HWND owner, UINT style, const wchar_t* what, const wchar_t* name, DWORD error) {
    std::wstring text = what;
    text += L"\n\n";
    text += PathInCurrentFolder(name);
    text += L"\n\n";
    std::wstring reason = SystemReason(error);
    if (!reason.empty()) {
        text += reason;
        text += L"\n";
    }
    wchar_t number[32];
    wsprintfW(number, L"Error %lu", error);
    text += number;
    MessageBoxW(owner, text.c_str(), L"Varnholt", style | MB_OK);
}
