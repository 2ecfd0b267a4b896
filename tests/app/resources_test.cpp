// The program's resources as Windows reads them: the dialog templates byte
// for byte, the icon group, the version information and the manifest.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/launcher_process.h"
#include "ui/resource.h"
#include "version.h"

namespace {

// Reads a dialog template (classic or extended) from the program's resources.
class TemplateReader {
  public:
    explicit TemplateReader(int id) : p_(NULL), end_(NULL) {
        HRSRC found =
            FindResourceA(NULL, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5) /* RT_DIALOG */);
        if (!found)
            return;
        p_ = static_cast<const BYTE*>(LockResource(LoadResource(NULL, found)));
        end_ = p_ + SizeofResource(NULL, found);
    }
    bool ok() const { return p_ != NULL; }
    WORD Word() { return Take<WORD>(); }
    DWORD Dword() { return Take<DWORD>(); }
    short Short() { return Take<short>(); }
    BYTE Byte() { return Take<BYTE>(); }
    // A string or an ordinal (0xFFFF followed by the number, shown as "#n").
    std::string StringOrOrdinal() {
        WORD first = Word();
        if (first == 0xFFFF)
            return "#" + std::to_string(Word());
        std::string text;
        for (WORD c = first; c != 0; c = Word())
            text += static_cast<char>(c);
        return text;
    }
    void AlignDword(const BYTE* base) {
        while ((p_ - base) % 4)
            ++p_;
    }
    const BYTE* position() const { return p_; }

  private:
    template <typename T> T Take() {
        T value = T();
        if (p_ + sizeof(T) <= end_)
            memcpy(&value, p_, sizeof(T));
        p_ += sizeof(T);
        return value;
    }
    const BYTE* p_;
    const BYTE* end_;
};

struct Item {
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;
    int id;
    std::string cls;
    std::string text;
};

struct Dialog {
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;
    std::string menu, cls, caption, font;
    WORD points;
    std::vector<Item> items;
};

Dialog ReadDialog(int id) {
    TemplateReader r(id);
    Dialog d = Dialog();
    const BYTE* base = r.position();
    if (!r.ok())
        return d;
    WORD count;
    bool extended = false;
    if (r.Word() == 1 && r.Word() == 0xFFFF) {
        extended = true;
        r.Dword(); // help id
        d.exStyle = r.Dword();
        d.style = r.Dword();
    } else {
        r = TemplateReader(id);
        d.style = r.Dword();
        d.exStyle = r.Dword();
    }
    count = r.Word();
    d.x = r.Short(), d.y = r.Short(), d.cx = r.Short(), d.cy = r.Short();
    d.menu = r.StringOrOrdinal();
    d.cls = r.StringOrOrdinal();
    d.caption = r.StringOrOrdinal();
    if (d.style & DS_SETFONT) {
        d.points = r.Word();
        if (extended) {
            r.Word();
            r.Byte();
            r.Byte();
        }
        d.font = r.StringOrOrdinal();
    }
    for (WORD i = 0; i < count; ++i) {
        r.AlignDword(base);
        Item item;
        if (extended) {
            r.Dword(); // help id
            item.exStyle = r.Dword();
            item.style = r.Dword();
        } else {
            item.style = r.Dword();
            item.exStyle = r.Dword();
        }
        item.x = r.Short(), item.y = r.Short(), item.cx = r.Short(), item.cy = r.Short();
        item.id = extended ? static_cast<int>(r.Dword()) : static_cast<short>(r.Word());
        item.cls = r.StringOrOrdinal();
        item.text = r.StringOrOrdinal();
        WORD extra = r.Word();
        for (WORD b = 0; b < extra; ++b)
            r.Byte();
        d.items.push_back(item);
    }
    return d;
}

const char* const kButton = "#128";
const char* const kStatic = "#130";
const char* const kComboBox = "#133";

void ExpectItems(const Dialog& dialog, const Item* expected, size_t count) {
    ASSERT_EQ(count, dialog.items.size());
    for (size_t i = 0; i < count; ++i) {
        const Item& got = dialog.items[i];
        SCOPED_TRACE(expected[i].text + " #" + std::to_string(expected[i].id));
        EXPECT_EQ(expected[i].id, got.id);
        EXPECT_EQ(expected[i].cls, got.cls);
        EXPECT_EQ(expected[i].text, got.text);
        EXPECT_EQ(expected[i].style, got.style) << std::hex << got.style;
        EXPECT_EQ(0u, got.exStyle);
        EXPECT_EQ(expected[i].x, got.x);
        EXPECT_EQ(expected[i].y, got.y);
        EXPECT_EQ(expected[i].cx, got.cx);
        EXPECT_EQ(expected[i].cy, got.cy);
    }
}

const DWORD kFlatButton = WS_CHILD | BS_PUSHBUTTON | BS_FLAT;
const DWORD kHiddenCheckBox = WS_CHILD | BS_AUTOCHECKBOX | WS_DISABLED | WS_TABSTOP;
const DWORD kDropDown = WS_CHILD | CBS_DROPDOWN | CBS_SORT | WS_VSCROLL;

TEST(Resources, LauncherTemplateIsTheClassicCaptionlessDialog) {
    Dialog d = ReadDialog(IDD_LAUNCHER);
    EXPECT_EQ(static_cast<DWORD>(DS_SETFONT | WS_POPUP | WS_BORDER), d.style)
        << std::hex << d.style;
    EXPECT_EQ(0u, d.exStyle);
    EXPECT_EQ(433, d.cx);
    EXPECT_EQ(236, d.cy);
    EXPECT_EQ("", d.caption);
    EXPECT_EQ("", d.menu);
    EXPECT_EQ(8, d.points);
    EXPECT_EQ("MS Sans Serif", d.font);
    const Item expected[] = {
        {kFlatButton | WS_VISIBLE | WS_TABSTOP, 0, 7, 215, 76, 14, IDC_PLAY, kButton, "PLAY"},
        {kFlatButton | WS_VISIBLE | WS_TABSTOP, 0, 377, 215, 49, 14, IDC_CLOSE, kButton, "CLOSE"},
        {WS_CHILD | SS_BLACKRECT | WS_VISIBLE, 0, 7, 7, 419, 202, IDC_WEB_PLACEHOLDER, kStatic, ""},
        {kFlatButton, 0, 95, 215, 73, 14, IDC_GAMEPAD, kButton, "GAMEPAD"},
        {kFlatButton, 0, 292, 215, 73, 14, IDC_OPTIONS, kButton, "OPTONS"},
        {kDropDown | WS_DISABLED, 0, 187, 215, 90, 43, IDC_LAUNCHER_COMBO, kComboBox, ""},
    };
    ExpectItems(d, expected, sizeof expected / sizeof expected[0]);
}

TEST(Resources, OptionsTemplateIsTheExtendedCaptionedDialog) {
    Dialog d = ReadDialog(IDD_OPTIONS);
    EXPECT_EQ(static_cast<DWORD>(DS_SETFONT | WS_CAPTION), d.style) << std::hex << d.style;
    EXPECT_EQ(186, d.cx);
    EXPECT_EQ(99, d.cy);
    EXPECT_EQ("Options", d.caption);
    EXPECT_EQ(8, d.points);
    EXPECT_EQ("MS Sans Serif", d.font);
    const Item expected[] = {
        {WS_CHILD | BS_DEFPUSHBUTTON | WS_VISIBLE | WS_TABSTOP, 0, 71, 78, 50, 14, IDOK, kButton,
         "OK"},
        {WS_CHILD | BS_PUSHBUTTON | WS_VISIBLE | WS_TABSTOP, 0, 129, 78, 50, 14, IDCANCEL, kButton,
         "Cancel"},
        {kHiddenCheckBox, 0, 13, 40, 96, 10, IDC_MOTION_BLUR, kButton, "Motion Blur"},
        {kHiddenCheckBox, 0, 13, 54, 49, 10, IDC_LENS_FLARE, kButton, "Lens Flare"},
        {WS_CHILD | BS_AUTOCHECKBOX | WS_VISIBLE | WS_TABSTOP, 0, 123, 40, 35, 10, IDC_BLOOM,
         kButton, "Bloom"},
        {kHiddenCheckBox, 0, 123, 54, 38, 10, IDC_SMOKE, kButton, "Smoke"},
        {WS_CHILD | BS_GROUPBOX | BS_FLAT | WS_VISIBLE, 0, 7, 7, 172, 64, IDC_STATIC, kButton,
         "Video"},
        {WS_CHILD | SS_LEFT | WS_GROUP | WS_VISIBLE, 0, 15, 22, 59, 8, IDC_STATIC, kStatic,
         "Screen Resolution"},
        {kDropDown | WS_VISIBLE | WS_TABSTOP, 0, 83, 19, 81, 58, IDC_RESOLUTION, kComboBox, ""},
    };
    ExpectItems(d, expected, sizeof expected / sizeof expected[0]);
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colors, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST(Resources, IconGroupHoldsTheEightImagesAndEachLoads) {
    HRSRC group = FindResourceA(NULL, MAKEINTRESOURCEA(IDI_APP), MAKEINTRESOURCEA(14));
    ASSERT_TRUE(group != NULL);
    const BYTE* dir = static_cast<const BYTE*>(LockResource(LoadResource(NULL, group)));
    WORD type, count;
    memcpy(&type, dir + 2, 2);
    memcpy(&count, dir + 4, 2);
    EXPECT_EQ(1, type);
    ASSERT_EQ(8, count);
    std::vector<std::string> formats;
    for (WORD i = 0; i < count; ++i) {
        GroupIconEntry entry;
        memcpy(&entry, dir + 6 + i * sizeof entry, sizeof entry);
        int size = entry.width ? entry.width : 256;
        formats.push_back(std::to_string(size) + "x" + std::to_string(entry.bitCount));
        HRSRC image = FindResourceA(NULL, MAKEINTRESOURCEA(entry.id), MAKEINTRESOURCEA(3));
        ASSERT_TRUE(image != NULL) << formats.back();
        EXPECT_EQ(entry.bytes, SizeofResource(NULL, image));
        HICON icon =
            CreateIconFromResourceEx(static_cast<BYTE*>(LockResource(LoadResource(NULL, image))),
                                     SizeofResource(NULL, image), TRUE, 0x00030000, size, size, 0);
        EXPECT_TRUE(icon != NULL) << formats.back();
        ICONINFO info;
        if (icon && GetIconInfo(icon, &info)) {
            BITMAP bitmap;
            GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
            EXPECT_EQ(size, bitmap.bmWidth) << formats.back();
            DeleteObject(info.hbmColor);
            DeleteObject(info.hbmMask);
        }
        DestroyIcon(icon);
    }
    const char* expected[] = {"32x4", "16x4", "48x8", "32x8", "16x8", "48x32", "32x32", "16x32"};
    for (size_t i = 0; i < 8; ++i)
        EXPECT_NE(formats.end(), std::find(formats.begin(), formats.end(), expected[i]))
            << expected[i];
    // The shell's pick for a large icon comes from the group.
    HICON large = LoadIconA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDI_APP));
    EXPECT_TRUE(large != NULL);
}

// The raw resource of the given type and id in the program, as bytes.
std::string ProgramResource(HMODULE module, int type, int id) {
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(type));
    if (!found)
        return "";
    return std::string(static_cast<const char*>(LockResource(LoadResource(module, found))),
                       SizeofResource(module, found));
}

TEST(Resources, ProgramCarriesItsVersionAndAManifestThatKeepsFileVirtualisation) {
    std::string exe = test::BuildDir() + "\\launcher.exe";
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(exe.c_str(), &ignored);
    ASSERT_NE(0u, size);
    std::vector<char> data(size);
    ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, size, &data[0]));
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(&data[0], "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(LAUNCHER_VERSION_MINOR, LAUNCHER_VERSION_MAJOR)),
              fixed->dwFileVersionMS);
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(0, LAUNCHER_VERSION_PATCH)), fixed->dwFileVersionLS);
    char* text = NULL;
    ASSERT_TRUE(VerQueryValueA(&data[0], "\\StringFileInfo\\040904b0\\ProductVersion",
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_STREQ(LAUNCHER_VERSION_STRING, text);

    HMODULE module = LoadLibraryExA(exe.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(module != NULL);
    // Windows takes a program without an execution level whose version
    // strings name one of these words for an installer and asks to elevate it.
    std::string version = ProgramResource(module, 16 /* RT_VERSION */, 1), lowered;
    for (size_t i = 0; i + 1 < version.size(); i += 2)
        lowered += static_cast<char>(tolower(static_cast<unsigned char>(version[i])));
    EXPECT_NE(std::string::npos, lowered.find("varnholt launcher"));
    const char* installerWords[] = {"setup", "install", "update", "patch"};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(std::string::npos, lowered.find(installerWords[i])) << installerWords[i];

    std::string xml = ProgramResource(module, 24 /* RT_MANIFEST */, 1);
    EXPECT_EQ(std::string::npos, xml.find("requestedExecutionLevel"));
    EXPECT_EQ(std::string::npos, xml.find("trustInfo"));
    const char* systems[] = {
        "e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
        "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
        "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"};
    for (size_t i = 0; i < 5; ++i)
        EXPECT_NE(std::string::npos, xml.find("<supportedOS Id=\"{" + std::string(systems[i])))
            << systems[i];
    // The classic look: no common-controls version 6 dependency.
    EXPECT_EQ(std::string::npos, xml.find("Microsoft.Windows.Common-Controls"));
    FreeLibrary(module);
}

} // namespace
