// The Options dialog opened for real from the program's resources, driven
// from inside its modal loop by messages and mouse input, with config.cfg in
// a temporary folder.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "settings/display_modes.h"
#include "settings/game_settings.h"
#include "support/dialog_driver.h"
#include "support/test_support.h"
#include "ui/options_dialog.h"
#include "ui/resource.h"

namespace {

const char kConfig[] = "screenWidth = 1024\r\n"
                       "fullscreen = 1\r\n"
                       "screenHeight = 768\r\n"
                       "screenBPP = 16\r\n"
                       "bloom = 0\r\n";

DisplayMode Mode(unsigned int width, unsigned int height) {
    DisplayMode mode = {height, width, 32};
    return mode;
}

void SetSettings(int width, int height, int bpp, int bloom) {
    g_gameSettings.screenWidth = width;
    g_gameSettings.screenHeight = height;
    g_gameSettings.screenBPP = bpp;
    g_gameSettings.bloom = bloom;
}

HWND Combo(HWND dialog) {
    return GetDlgItem(dialog, IDC_RESOLUTION);
}

std::string EntryText(HWND combo, LRESULT position) {
    LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, position, 0);
    if (length == CB_ERR)
        return "<none>";
    std::vector<char> text(length + 1);
    SendMessageA(combo, CB_GETLBTEXT, position, reinterpret_cast<LPARAM>(&text[0]));
    return &text[0];
}

std::vector<std::string> Entries(HWND combo) {
    std::vector<std::string> entries;
    LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i)
        entries.push_back(EntryText(combo, i));
    return entries;
}

LRESULT Current(HWND combo) {
    return SendMessageA(combo, CB_GETCURSEL, 0, 0);
}

void Click(HWND dialog, int id) {
    SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

// A click through the input system: the mouse moves to the control's centre
// and its button goes down and up there.
void ClickWithMouse(HWND control) {
    RECT rect;
    GetWindowRect(control, &rect);
    SetCursorPos((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    INPUT input[2];
    ZeroMemory(input, sizeof input);
    input[0].type = INPUT_MOUSE;
    input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[1].type = INPUT_MOUSE;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, input, sizeof input[0]);
    test::Settle(200);
}

// Types into the combo box's edit field as keystrokes would arrive there.
void Type(HWND combo, const char* text) {
    HWND edit = FindWindowExA(combo, NULL, "Edit", NULL);
    ASSERT_TRUE(edit != NULL);
    SetFocus(edit);
    SendMessageA(edit, EM_SETSEL, 0, -1);
    for (const char* c = text; *c; ++c)
        SendMessageA(edit, WM_CHAR, static_cast<unsigned char>(*c), 1);
}

std::string ConfigFile() {
    std::string bytes;
    if (!test::ReadFileBytes("config.cfg", &bytes))
        return "<missing>";
    return bytes;
}

class OptionsDialog : public ::testing::Test {
  protected:
    OptionsDialog() {
        test::WriteFileBytes("config.cfg", kConfig);
        g_displayModes.clear();
        g_displayModes.push_back(Mode(1024, 768));
        g_displayModes.push_back(Mode(1280, 800));
        g_displayModes.push_back(Mode(1920, 1080));
        g_displayModes.push_back(Mode(1280, 1024));
        g_displayModes.push_back(Mode(1152, 864));
        SetSettings(1280, 800, 32, 0);
    }

    INT_PTR Run(const std::function<void(HWND)>& drive) {
        return test::RunDialog(IDD_OPTIONS, OptionsDialogProc, NULL, drive);
    }

    test::ScopedTempDir folder_;
};

TEST_F(OptionsDialog, ListsTheModesSortedAndPreselectsTheCurrentOneByItsIndex) {
    std::vector<std::string> entries;
    std::vector<LRESULT> indexes;
    std::string current;
    LRESULT currentIndex = -1;
    INT_PTR result = Run([&](HWND dialog) {
        HWND combo = Combo(dialog);
        entries = Entries(combo);
        for (size_t i = 0; i < entries.size(); ++i)
            indexes.push_back(SendMessageA(combo, CB_GETITEMDATA, i, 0));
        current = EntryText(combo, Current(combo));
        currentIndex = SendMessageA(combo, CB_GETITEMDATA, Current(combo), 0);
        Click(dialog, IDCANCEL);
    });
    EXPECT_EQ(IDCANCEL, result);
    // '1280 x 1024 x 32' sorts before '1280 x 800 x 32'.
    EXPECT_EQ((std::vector<std::string>{"1024 x 768 x 32", "1152 x 864 x 32", "1280 x 1024 x 32",
                                        "1280 x 800 x 32", "1920 x 1080 x 32"}),
              entries);
    EXPECT_EQ((std::vector<LRESULT>{0, 4, 3, 1, 2}), indexes);
    EXPECT_EQ("1280 x 800 x 32", current);
    EXPECT_EQ(1, currentIndex);
}

TEST_F(OptionsDialog, PreselectsTheLastOfEqualModes) {
    g_displayModes.push_back(Mode(1280, 800));
    LRESULT currentIndex = -1;
    Run([&](HWND dialog) {
        currentIndex = SendMessageA(Combo(dialog), CB_GETITEMDATA, Current(Combo(dialog)), 0);
        Click(dialog, IDCANCEL);
    });
    EXPECT_EQ(5, currentIndex);
}

TEST_F(OptionsDialog, SelectsTheFirstEntryWhenNoModeMatches) {
    // 1920 x 1080 is first in the list but not in sorted order.
    std::swap(g_displayModes[0], g_displayModes[2]);
    SetSettings(0, 0, 0, 0);
    LRESULT position = -1;
    std::string current;
    Run([&](HWND dialog) {
        position = Current(Combo(dialog));
        current = EntryText(Combo(dialog), position);
        Click(dialog, IDCANCEL);
    });
    EXPECT_EQ(0, position);
    EXPECT_EQ("1024 x 768 x 32", current);

    // The right size at another depth is no match either.
    SetSettings(1280, 800, 16, 0);
    Run([&](HWND dialog) {
        position = Current(Combo(dialog));
        Click(dialog, IDCANCEL);
    });
    EXPECT_EQ(0, position);
}

TEST_F(OptionsDialog, OkSavesTheChosenModeAndKeepsOtherLines) {
    INT_PTR result = Run([&](HWND dialog) {
        HWND combo = Combo(dialog);
        LRESULT position = SendMessageA(combo, CB_FINDSTRINGEXACT, -1, (LPARAM) "1920 x 1080 x 32");
        SendMessageA(combo, CB_SETCURSEL, position, 0);
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_RESOLUTION, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(combo));
        Click(dialog, IDC_BLOOM);
        Click(dialog, IDOK);
    });
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(1920, g_gameSettings.screenWidth);
    EXPECT_EQ(1080, g_gameSettings.screenHeight);
    EXPECT_EQ(32, g_gameSettings.screenBPP);
    EXPECT_EQ(1, g_gameSettings.bloom);
    EXPECT_EQ("screenWidth = 1920\r\n"
              "fullscreen = 1\r\n"
              "screenHeight = 1080\r\n"
              "screenBPP = 32\r\n"
              "bloom = 1\r\n",
              ConfigFile());
}

BOOL WINAPI MoveRefused(LPCWSTR, LPCWSTR, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// Mapped by another program, config.cfg can be neither swapped nor cut back.
// Once it holds the new settings followed by blank lines, the game reads what
// the player chose: the save is done, and memory keeps the new mode.
TEST_F(OptionsDialog, OkOnAFileThatStaysMappedClosesAndKeepsTheNewMode) {
    test::WriteFileBytes("config.cfg", "screenWidth = 12345678\r\nfullscreen = 1\r\n");
    test::ScopedImportPatch refused("kernel32.dll", "MoveFileExW",
                                    reinterpret_cast<void*>(MoveRefused));
    HANDLE file = CreateFileA("config.cfg", GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, 0, NULL);
    HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READONLY, 0, 0, NULL);
    void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : NULL;
    CloseHandle(mapping);
    CloseHandle(file);
    ASSERT_TRUE(view != NULL);
    INT_PTR result = Run([&](HWND dialog) {
        SendMessageA(Combo(dialog), CB_SELECTSTRING, -1, (LPARAM) "1920 x 1080 x 32");
        Click(dialog, IDOK);
    });
    UnmapViewOfFile(view);
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(1920, g_gameSettings.screenWidth);
    EXPECT_EQ(1080, g_gameSettings.screenHeight);
    EXPECT_EQ("screenWidth = 1920\r\nfullscreen = 1\r\n  \r\n", ConfigFile());
}

TEST_F(OptionsDialog, OkWithTheSelectionUnchangedStillRewritesTheFile) {
    INT_PTR result = Run([&](HWND dialog) { Click(dialog, IDOK); });
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ("screenWidth = 1280\r\n"
              "fullscreen = 1\r\n"
              "screenHeight = 800\r\n"
              "screenBPP = 32\r\n"
              "bloom = 0\r\n",
              ConfigFile());
}

// Without a listed mode OK keeps the resolution as it was, saves the rest and
// closes: the player confirmed the dialog, and the Bloom box must be savable
// even when the display offers no mode.
TEST_F(OptionsDialog, OkWithTypedTextKeepsTheResolutionAndSavesTheRest) {
    LRESULT positionAfterTyping = 0;
    INT_PTR result = Run([&](HWND dialog) {
        Type(Combo(dialog), "1600 x 1200");
        positionAfterTyping = Current(Combo(dialog));
        Click(dialog, IDC_BLOOM);
        Click(dialog, IDOK);
    });
    EXPECT_EQ(CB_ERR, positionAfterTyping) << "typing should leave no entry current";
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(1280, g_gameSettings.screenWidth);
    EXPECT_EQ(800, g_gameSettings.screenHeight);
    EXPECT_EQ(32, g_gameSettings.screenBPP);
    EXPECT_EQ("screenWidth = 1280\r\n"
              "fullscreen = 1\r\n"
              "screenHeight = 800\r\n"
              "screenBPP = 32\r\n"
              "bloom = 1\r\n",
              ConfigFile());
}

TEST_F(OptionsDialog, OkWithAnEmptyListKeepsTheResolutionAndSavesTheRest) {
    g_displayModes.clear();
    SetSettings(1024, 768, 16, 1);
    LRESULT count = -1, position = 0;
    INT_PTR result = Run([&](HWND dialog) {
        count = SendMessageA(Combo(dialog), CB_GETCOUNT, 0, 0);
        position = Current(Combo(dialog));
        Click(dialog, IDOK);
    });
    EXPECT_EQ(0, count);
    EXPECT_EQ(CB_ERR, position);
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(1024, g_gameSettings.screenWidth);
    EXPECT_EQ(768, g_gameSettings.screenHeight);
    EXPECT_EQ(16, g_gameSettings.screenBPP);
    EXPECT_EQ("screenWidth = 1024\r\n"
              "fullscreen = 1\r\n"
              "screenHeight = 768\r\n"
              "screenBPP = 16\r\n"
              "bloom = 1\r\n",
              ConfigFile());
}

TEST_F(OptionsDialog, OkWithAnItemDataThatNamesNoModeKeepsTheResolution) {
    INT_PTR result = Run([&](HWND dialog) {
        HWND combo = Combo(dialog);
        SendMessageA(combo, CB_SETITEMDATA, Current(combo), 5);
        Click(dialog, IDOK);
    });
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ(1280, g_gameSettings.screenWidth);
    EXPECT_EQ(800, g_gameSettings.screenHeight);
    EXPECT_EQ(32, g_gameSettings.screenBPP);
    EXPECT_EQ("screenWidth = 1280\r\n"
              "fullscreen = 1\r\n"
              "screenHeight = 800\r\n"
              "screenBPP = 32\r\n"
              "bloom = 0\r\n",
              ConfigFile());
}

TEST_F(OptionsDialog, BloomTakesEffectAtOnceAndCancelSavesNothing) {
    std::vector<int> seen;
    INT_PTR result = Run([&](HWND dialog) {
        EXPECT_EQ(BST_UNCHECKED, IsDlgButtonChecked(dialog, IDC_BLOOM));
        ClickWithMouse(GetDlgItem(dialog, IDC_BLOOM));
        seen.push_back(g_gameSettings.bloom);
        Click(dialog, IDC_BLOOM);
        seen.push_back(g_gameSettings.bloom);
        Click(dialog, IDC_BLOOM);
        seen.push_back(g_gameSettings.bloom);
        // A third state leaves the setting as it is.
        CheckDlgButton(dialog, IDC_BLOOM, BST_INDETERMINATE);
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_BLOOM, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_BLOOM)));
        seen.push_back(g_gameSettings.bloom);
        Click(dialog, IDCANCEL);
    });
    EXPECT_EQ(IDCANCEL, result);
    EXPECT_EQ((std::vector<int>{1, 0, 1, 1}), seen);
    EXPECT_EQ(kConfig, ConfigFile());

    // The next opening shows the state from memory, not from the file.
    UINT state = BST_UNCHECKED;
    Run([&](HWND dialog) {
        state = IsDlgButtonChecked(dialog, IDC_BLOOM);
        Click(dialog, IDCANCEL);
    });
    EXPECT_EQ(static_cast<UINT>(BST_CHECKED), state);
    EXPECT_EQ(1, g_gameSettings.bloom);
}

TEST_F(OptionsDialog, AnyNonZeroBloomShowsChecked) {
    g_gameSettings.bloom = 7;
    UINT state = BST_UNCHECKED;
    Run([&](HWND dialog) {
        state = IsDlgButtonChecked(dialog, IDC_BLOOM);
        Click(dialog, IDCANCEL);
    });
    EXPECT_EQ(static_cast<UINT>(BST_CHECKED), state);
    EXPECT_EQ(7, g_gameSettings.bloom);
}

TEST_F(OptionsDialog, CloseRequestEndsWith1002AndSavesNothing) {
    bool stillOpen = false;
    INT_PTR result = Run([&](HWND dialog) {
        // Commands of other controls, Enter's and Escape's aside, do nothing.
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_RESOLUTION, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(Combo(dialog)));
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_SMOKE, BN_CLICKED), 0);
        stillOpen = IsWindowVisible(dialog) != FALSE;
        Click(dialog, IDC_BLOOM);
        PostMessageA(dialog, WM_CLOSE, 0, 0);
    });
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(1002, result);
    EXPECT_EQ(kConfig, ConfigFile());
}

TEST_F(OptionsDialog, OpensCentredOnTheScreen) {
    RECT rect = {0, 0, 0, 0};
    Run([&](HWND dialog) {
        GetWindowRect(dialog, &rect);
        Click(dialog, IDCANCEL);
    });
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    EXPECT_GT(width, 0);
    EXPECT_EQ((GetSystemMetrics(SM_CXSCREEN) - width) / 2, rect.left);
    EXPECT_EQ((GetSystemMetrics(SM_CYSCREEN) - height) / 2, rect.top);
}

struct ExpectedControl {
    int id;
    const char* className;
    const char* text;
    DWORD style; // within kStyleMask
    RECT units;
};

// The window style bits the template decides, the control's own low word
// included.
const DWORD kStyleMask =
    WS_CHILD | WS_POPUP | WS_VISIBLE | WS_DISABLED | WS_TABSTOP | WS_GROUP | WS_BORDER | 0xFFFF;

const ExpectedControl kControls[] = {
    {IDOK, "Button", "OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, {71, 78, 50, 14}},
    {IDCANCEL,
     "Button",
     "Cancel",
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
     {129, 78, 50, 14}},
    {IDC_MOTION_BLUR,
     "Button",
     "Motion Blur",
     WS_CHILD | WS_DISABLED | WS_TABSTOP | BS_AUTOCHECKBOX,
     {13, 40, 96, 10}},
    {IDC_LENS_FLARE,
     "Button",
     "Lens Flare",
     WS_CHILD | WS_DISABLED | WS_TABSTOP | BS_AUTOCHECKBOX,
     {13, 54, 49, 10}},
    {IDC_BLOOM,
     "Button",
     "Bloom",
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX,
     {123, 40, 35, 10}},
    {IDC_SMOKE,
     "Button",
     "Smoke",
     WS_CHILD | WS_DISABLED | WS_TABSTOP | BS_AUTOCHECKBOX,
     {123, 54, 38, 10}},
    {-1, "Button", "Video", WS_CHILD | WS_VISIBLE | BS_GROUPBOX | BS_FLAT, {7, 7, 172, 64}},
    {-1,
     "Static",
     "Screen Resolution",
     WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT,
     {15, 22, 59, 8}},
    {IDC_RESOLUTION,
     "ComboBox",
     "",
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWN | CBS_SORT,
     {83, 19, 81, 58}},
};

struct SeenControl {
    int id;
    std::string className, text;
    DWORD style;
    RECT pixels;    // in the dialog's client area
    RECT fromUnits; // the expected rectangle, mapped from dialog units
};

TEST_F(OptionsDialog, TemplateAsTheWindowShowsIt) {
    // More entries than the dropped list shows, so that it needs its scroll bar.
    for (unsigned int i = 0; i < 20; ++i)
        g_displayModes.push_back(Mode(2000 + i, 1500));
    std::string caption, fontFace;
    LONG fontHeight = 0, expectedFontHeight = 0;
    DWORD style = 0;
    RECT client = {0, 0, 0, 0}, clientFromUnits = {0, 0, 186, 99};
    std::vector<SeenControl> seen;
    DWORD listStyle = 0;
    Run([&](HWND dialog) {
        char text[256];
        GetWindowTextA(dialog, text, sizeof text);
        caption = text;
        style = GetWindowLongA(dialog, GWL_STYLE);
        GetClientRect(dialog, &client);
        MapDialogRect(dialog, &clientFromUnits);

        LOGFONTA font;
        ZeroMemory(&font, sizeof font);
        GetObjectA(reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0)), sizeof font,
                   &font);
        fontFace = font.lfFaceName;
        fontHeight = font.lfHeight;
        HDC screen = GetDC(NULL);
        expectedFontHeight = -MulDiv(8, GetDeviceCaps(screen, LOGPIXELSY), 72);
        ReleaseDC(NULL, screen);

        // Child windows come in template order.
        size_t n = 0;
        for (HWND child = GetWindow(dialog, GW_CHILD); child;
             child = GetWindow(child, GW_HWNDNEXT), ++n) {
            SeenControl control;
            control.id = GetDlgCtrlID(child);
            GetClassNameA(child, text, sizeof text);
            control.className = text;
            GetWindowTextA(child, text, sizeof text);
            control.text = text;
            control.style = GetWindowLongA(child, GWL_STYLE);
            GetWindowRect(child, &control.pixels);
            MapWindowPoints(NULL, dialog, reinterpret_cast<POINT*>(&control.pixels), 2);
            if (n < sizeof kControls / sizeof kControls[0]) {
                // The dialog manager maps position and size each on its own.
                RECT r = kControls[n].units;
                MapDialogRect(dialog, &r);
                control.fromUnits.left = r.left;
                control.fromUnits.top = r.top;
                control.fromUnits.right = r.left + r.right;
                control.fromUnits.bottom = r.top + r.bottom;
            }
            seen.push_back(control);
        }
        COMBOBOXINFO info;
        info.cbSize = sizeof info;
        if (GetComboBoxInfo(Combo(dialog), &info))
            listStyle = GetWindowLongA(info.hwndList, GWL_STYLE);
        Click(dialog, IDCANCEL);
    });

    EXPECT_EQ("Options", caption);
    EXPECT_EQ(static_cast<DWORD>(WS_CAPTION), style & WS_CAPTION);
    EXPECT_EQ(0u, style & (WS_POPUP | WS_CHILD | WS_SYSMENU | WS_THICKFRAME | DS_MODALFRAME |
                           WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_EQ("MS Sans Serif", fontFace);
    EXPECT_EQ(expectedFontHeight, fontHeight);
    EXPECT_EQ(clientFromUnits.right, client.right);
    EXPECT_EQ(clientFromUnits.bottom, client.bottom);

    const size_t expectedCount = sizeof kControls / sizeof kControls[0];
    ASSERT_EQ(expectedCount, seen.size());
    for (size_t i = 0; i < expectedCount; ++i) {
        const ExpectedControl& want = kControls[i];
        const SeenControl& got = seen[i];
        SCOPED_TRACE(::testing::Message() << "control " << i << " (" << want.text << ")");
        EXPECT_EQ(want.id, got.id);
        EXPECT_EQ(want.className, got.className);
        if (want.id != IDC_RESOLUTION) {
            EXPECT_EQ(want.text, got.text);
        }
        EXPECT_EQ(want.style, got.style & kStyleMask)
            << std::hex << "style 0x" << got.style << " expected 0x" << want.style;
        EXPECT_EQ(got.fromUnits.left, got.pixels.left);
        EXPECT_EQ(got.fromUnits.top, got.pixels.top);
        EXPECT_EQ(got.fromUnits.right, got.pixels.right);
        // A drop-down combo box is as high as its edit field; the template's
        // height is that of the dropped list.
        if (want.id != IDC_RESOLUTION) {
            EXPECT_EQ(got.fromUnits.bottom, got.pixels.bottom);
        }
    }
    EXPECT_TRUE(listStyle & WS_VSCROLL) << "the resolution list has no vertical scroll bar";
}

} // namespace
