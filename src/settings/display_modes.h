// Full-screen display modes offered by the default adapter, as reported by
// Direct3D 9 and filtered to at least 1024 x 768.
#ifndef LAUNCHER_DISPLAY_MODES_H
#define LAUNCHER_DISPLAY_MODES_H

#include <vector>

struct IDirect3D9;

struct DisplayMode {
    unsigned int height;
    unsigned int width;
    unsigned int bitsPerPixel;
};

// An entry's position is its mode index.
typedef std::vector<DisplayMode> DisplayModeList;

extern DisplayModeList g_displayModes;

// Fills g_displayModes from the Direct3D 9 of the system folder (never from a
// d3d9.dll beside the program); without a usable Direct3D the list is empty.
void EnumerateDisplayModes();

// Fills g_displayModes from the given Direct3D object and releases it; a null
// object leaves the list empty.
void EnumerateDisplayModes(IDirect3D9* direct3d);

#endif
