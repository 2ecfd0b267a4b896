#include "settings/display_modes.h"

#include <windows.h>
#include <d3d9.h>

#include <stdlib.h>

#include "common/system_dll.h"

DisplayModeList g_displayModes;

DisplayModeList::~DisplayModeList() {
    free(items_);
}

void DisplayModeList::Reserve(size_t capacity) {
    if (capacity <= capacity_)
        return;
    size_t grown = capacity_ < 8 ? 8 : capacity_ * 2;
    if (grown < capacity)
        grown = capacity;
    void* items = realloc(items_, grown * sizeof(DisplayMode));
    if (!items)
        abort();
    items_ = static_cast<DisplayMode*>(items);
    capacity_ = grown;
}

void DisplayModeList::push_back(const DisplayMode& mode) {
    Reserve(count_ + 1);
    items_[count_++] = mode;
}

void DisplayModeList::assign(const DisplayMode* first, const DisplayMode* last) {
    clear();
    for (; first != last; ++first)
        push_back(*first);
}

void DisplayModeList::assign(size_t count, const DisplayMode& mode) {
    clear();
    for (size_t i = 0; i < count; ++i)
        push_back(mode);
}

namespace {

// The interface version the catalogue is written against (Direct3D 9.0c).
const UINT kDirect3DVersion = 32;

const unsigned int kMinimumWidth = 1024;
const unsigned int kMinimumHeight = 768;
const unsigned int kListedBitsPerPixel = 32;

typedef IDirect3D9*(WINAPI* Direct3DCreate9Function)(UINT version);

// Direct3D reports A8R8G8B8 as unusable for a display on most systems, so
// X8R8G8B8 is the usual answer; when neither passes the first one is asked.
D3DFORMAT ChooseModeFormat(IDirect3D9* direct3d) {
    const D3DFORMAT candidates[] = {D3DFMT_A8R8G8B8, D3DFMT_X8R8G8B8};
    for (size_t i = 0; i < sizeof candidates / sizeof candidates[0]; ++i) {
        if (SUCCEEDED(direct3d->CheckDeviceType(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, candidates[i],
                                                candidates[i], FALSE)))
            return candidates[i];
    }
    return D3DFMT_A8R8G8B8;
}

bool IsLargeEnough(const D3DDISPLAYMODE& mode) {
    return mode.Width >= kMinimumWidth && mode.Height >= kMinimumHeight;
}

// Direct3D reports one mode per refresh rate, one after the other; the list
// keeps only the first of such a run.
bool RepeatsLastEntry(const DisplayModeList& list, const D3DDISPLAYMODE& mode) {
    if (list.empty())
        return false;
    const DisplayMode& last = list.back();
    return last.width == mode.Width && last.height == mode.Height &&
           last.bitsPerPixel == kListedBitsPerPixel;
}

} // namespace

void EnumerateDisplayModes() {
    // A game folder may carry a d3d9.dll of its own (a graphics mod), and the
    // launcher runs from that folder. Its start-up step keeps the folder out of
    // the whole process's DLL search where the system allows; the full path
    // keeps Direct3D the system's also where it does not (Vista, Windows 7
    // without its 2011 loader update), as the fallback there preloads only a
    // few small DLLs.
    HMODULE library = LoadSystemDll("d3d9.dll");
    if (!library) {
        EnumerateDisplayModes(NULL);
        return;
    }
    Direct3DCreate9Function create =
        FindFunction<Direct3DCreate9Function>(library, "Direct3DCreate9");
    // The object is released inside, before the library that implements it goes.
    EnumerateDisplayModes(create ? create(kDirect3DVersion) : NULL);
    FreeLibrary(library);
}

void EnumerateDisplayModes(IDirect3D9* direct3d) {
    g_displayModes.clear();
    if (!direct3d)
        return;

    D3DFORMAT format = ChooseModeFormat(direct3d);
    UINT count = direct3d->GetAdapterModeCount(D3DADAPTER_DEFAULT, format);
    for (UINT i = 0; i < count; ++i) {
        D3DDISPLAYMODE mode;
        if (FAILED(direct3d->EnumAdapterModes(D3DADAPTER_DEFAULT, format, i, &mode)))
            continue;
        if (!IsLargeEnough(mode) || RepeatsLastEntry(g_displayModes, mode))
            continue;
        DisplayMode entry;
        entry.height = mode.Height;
        entry.width = mode.Width;
        entry.bitsPerPixel = kListedBitsPerPixel;
        g_displayModes.push_back(entry);
    }
    direct3d->Release();
}
