// The catalogue against the system's real Direct3D 9, loaded the way the
// launcher loads it. Registered to run inside a Wine virtual desktop, whose
// adapter offers a fixed list of standard modes instead of the one mode of a
// bare X screen.
#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <utility>

#include "settings/display_modes.h"

namespace {

typedef std::pair<unsigned int, unsigned int> Size;

// The sizes that the display settings offer at 32 bits per pixel.
std::set<Size> OfferedSizes() {
    std::set<Size> sizes;
    DEVMODEA mode;
    ZeroMemory(&mode, sizeof mode);
    mode.dmSize = sizeof mode;
    for (DWORD i = 0; EnumDisplaySettingsA(NULL, i, &mode); ++i) {
        if (mode.dmBitsPerPel == 32)
            sizes.insert(Size(mode.dmPelsWidth, mode.dmPelsHeight));
    }
    return sizes;
}

TEST(SystemDisplayModes, ListsEveryLargeOfferedSizeOnce) {
    // The screen of the desktop the test runs in qualifies, so the list
    // cannot be empty.
    Size screen(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    ASSERT_GE(screen.first, 1024u) << "the test needs a desktop of at least 1024 x 768";
    ASSERT_GE(screen.second, 768u) << "the test needs a desktop of at least 1024 x 768";

    g_displayModes.assign(1, DisplayMode());
    EnumerateDisplayModes();
    ASSERT_FALSE(g_displayModes.empty());

    std::set<Size> listed;
    for (size_t i = 0; i < g_displayModes.size(); ++i) {
        const DisplayMode& mode = g_displayModes[i];
        SCOPED_TRACE(::testing::Message() << "entry " << i << ": " << mode.width << " x "
                                          << mode.height << " x " << mode.bitsPerPixel);
        EXPECT_GE(mode.width, 1024u);
        EXPECT_GE(mode.height, 768u);
        EXPECT_EQ(32u, mode.bitsPerPixel);
        if (i > 0) {
            const DisplayMode& previous = g_displayModes[i - 1];
            EXPECT_FALSE(previous.width == mode.width && previous.height == mode.height)
                << "a run of refresh rates listed twice";
        }
        listed.insert(Size(mode.width, mode.height));
    }
    EXPECT_TRUE(listed.count(screen)) << "the desktop's own size is not listed";

    // Direct3D offers the modes that the display settings offer: the list
    // holds exactly their large sizes.
    std::set<Size> expected;
    std::set<Size> offered = OfferedSizes();
    for (std::set<Size>::const_iterator it = offered.begin(); it != offered.end(); ++it) {
        if (it->first >= 1024 && it->second >= 768)
            expected.insert(*it);
    }
    EXPECT_EQ(expected, listed);
    EXPECT_GT(listed.size(), 1u) << "the virtual desktop should offer several modes";
}

} // namespace
