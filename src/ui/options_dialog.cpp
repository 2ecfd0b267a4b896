#include "ui/options_dialog.h"

#include <stdio.h>

#include "settings/display_modes.h"
#include "settings/game_settings.h"
#include "ui/center_window.h"
#include "ui/player_message.h"
#include "ui/resource.h"

namespace {

// The options dialog's result when it is closed through its window frame.
const INT_PTR kClosedResult = 1002;

bool MatchesSettings(const DisplayMode& mode) {
    return static_cast<int>(mode.width) == g_gameSettings.screenWidth &&
           static_cast<int>(mode.height) == g_gameSettings.screenHeight &&
           static_cast<int>(mode.bitsPerPixel) == g_gameSettings.screenBPP;
}

void AddModeEntry(HWND combo, size_t index, const DisplayMode& mode) {
    char text[64];
    sprintf(text, "%d x %d x %d", static_cast<int>(mode.width), static_cast<int>(mode.height),
            static_cast<int>(mode.bitsPerPixel));
    LRESULT position = SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    if (position < 0)
        return;
    SendMessageA(combo, CB_SETITEMDATA, static_cast<WPARAM>(position), static_cast<LPARAM>(index));
}

// The combo box sorts its entries, so an entry's position says nothing about
// its mode: look the mode up by the index kept as item data.
int FindEntryOfMode(HWND combo, size_t index) {
    LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT position = 0; position < count; ++position) {
        LRESULT data = SendMessageA(combo, CB_GETITEMDATA, static_cast<WPARAM>(position), 0);
        if (data != CB_ERR && static_cast<size_t>(data) == index)
            return static_cast<int>(position);
    }
    return 0;
}

void FillResolutions(HWND combo) {
    size_t preselected = g_displayModes.size();
    for (size_t i = 0; i < g_displayModes.size(); ++i) {
        AddModeEntry(combo, i, g_displayModes[i]);
        if (MatchesSettings(g_displayModes[i]))
            preselected = i;
    }
    int position = preselected < g_displayModes.size() ? FindEntryOfMode(combo, preselected) : 0;
    SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(position), 0);
}

// The mode of the current entry; false when there is none (an empty list, or
// text typed into the edit field) or its item data names no listed mode.
bool GetSelectedMode(HWND window, DisplayMode* mode) {
    HWND combo = GetDlgItem(window, IDC_RESOLUTION);
    LRESULT position = SendMessageA(combo, CB_GETCURSEL, 0, 0);
    if (position == CB_ERR)
        return false;
    LRESULT data = SendMessageA(combo, CB_GETITEMDATA, static_cast<WPARAM>(position), 0);
    if (data < 0 || static_cast<size_t>(data) >= g_displayModes.size())
        return false;
    *mode = g_displayModes[static_cast<size_t>(data)];
    return true;
}

// Without a listed mode the resolution is left as it was, but the player's
// confirmation still counts: the other settings are saved and the dialog closes.
// A save that fails keeps the dialog open, so that the player can remove the
// cause and press OK again, or cancel; the resolution in memory goes back to
// what the file still holds. Bloom stays as its box set it.
void ConfirmOptions(HWND window) {
    const GameSettings before = g_gameSettings;
    DisplayMode mode;
    if (GetSelectedMode(window, &mode)) {
        g_gameSettings.screenBPP = static_cast<int>(mode.bitsPerPixel);
        g_gameSettings.screenWidth = static_cast<int>(mode.width);
        g_gameSettings.screenHeight = static_cast<int>(mode.height);
    }
    DWORD error = SaveSettings();
    if (error == ERROR_SUCCESS) {
        EndDialog(window, IDOK);
        return;
    }
    g_gameSettings.screenBPP = before.screenBPP;
    g_gameSettings.screenWidth = before.screenWidth;
    g_gameSettings.screenHeight = before.screenHeight;
    ShowFailure(window, MB_ICONWARNING, L"The settings could not be saved.", L"config.cfg", error);
}

void UpdateBloom(HWND window) {
    switch (IsDlgButtonChecked(window, IDC_BLOOM)) {
    case BST_UNCHECKED:
        g_gameSettings.bloom = 0;
        break;
    case BST_CHECKED:
        g_gameSettings.bloom = 1;
        break;
    }
}

} // namespace

void FillOptionsDialog(HWND window) {
    CheckDlgButton(window, IDC_BLOOM, g_gameSettings.bloom != 0 ? BST_CHECKED : BST_UNCHECKED);
    FillResolutions(GetDlgItem(window, IDC_RESOLUTION));
}

INT_PTR CALLBACK OptionsDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        FillOptionsDialog(window);
        CenterWindowOnScreen(window);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            ConfirmOptions(window);
            break;
        case IDCANCEL:
            EndDialog(window, IDCANCEL);
            break;
        case IDC_BLOOM:
            UpdateBloom(window);
            break;
        }
        return TRUE;
    case WM_CLOSE:
        EndDialog(window, kClosedResult);
        return TRUE;
    }
    return FALSE;
}
