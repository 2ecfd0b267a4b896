#include "web/browser.h"

BrowserHost* g_browserHost = NULL;

void AttachBrowser(HWND) {}

void DestroyBrowser() {}
