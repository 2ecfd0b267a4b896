#include "settings/display_modes.h"

DisplayModeList g_displayModes;

void EnumerateDisplayModes() {}

void EnumerateDisplayModes(IDirect3D9*) {}
