#include "ui/center_window.h"

void CenterWindowOnScreen(HWND window) {
    RECT rect;
    if (!GetWindowRect(window, &rect))
        return;
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    MoveWindow(window, x, y, width, height, TRUE);
}
