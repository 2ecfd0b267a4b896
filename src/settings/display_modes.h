// Full-screen display modes offered by the default adapter, as reported by
// Direct3D 9 and filtered to at least 1024 x 768.
#ifndef LAUNCHER_DISPLAY_MODES_H
#define LAUNCHER_DISPLAY_MODES_H

#include <stddef.h>

struct IDirect3D9;

struct DisplayMode {
    unsigned int height;
    unsigned int width;
    unsigned int bitsPerPixel;
};

// The ordered list of offered modes; an entry's position is its mode index.
// A small list of its own rather than std::vector: the program is built
// without C++ exceptions, and the standard containers would bring the
// runtime's exception machinery (a good part of the program's size) back in.
// Running out of memory ends the program, as any allocation does.
class DisplayModeList {
  public:
    DisplayModeList() : items_(NULL), count_(0), capacity_(0) {}
    ~DisplayModeList();

    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const DisplayMode& operator[](size_t index) const { return items_[index]; }
    DisplayMode& operator[](size_t index) { return items_[index]; }
    const DisplayMode& back() const { return items_[count_ - 1]; }

    void clear() { count_ = 0; }
    void push_back(const DisplayMode& mode);
    void assign(const DisplayMode* first, const DisplayMode* last);
    void assign(size_t count, const DisplayMode& mode);

  private:
    DisplayModeList(const DisplayModeList&);
    DisplayModeList& operator=(const DisplayModeList&);
    void Reserve(size_t capacity);

    DisplayMode* items_;
    size_t count_;
    size_t capacity_;
};

extern DisplayModeList g_displayModes;

// Fills g_displayModes from the Direct3D 9 of the system folder (never from a
// d3d9.dll beside the program); without a usable Direct3D the list is empty.
void EnumerateDisplayModes();

// Fills g_displayModes from the given Direct3D object and releases it; a null
// object leaves the list empty.
void EnumerateDisplayModes(IDirect3D9* direct3d);

#endif
