#include "web/browser.h"

#include "ui/resource.h"
#include "web/browser_host.h"

BrowserHost* g_browserHost = NULL;

void AttachBrowser(HWND dialog) {
    // Any program can send the window a second initialisation; a second host
    // would cover the first, whose control then never closes.
    if (g_browserHost)
        return;
    HWND placeholder = GetDlgItem(dialog, IDC_WEB_PLACEHOLDER);
    g_browserHost = new BrowserHost;
    g_browserHost->CreateBrowser(placeholder);
}

void DestroyBrowser() {
    BrowserHost* host = g_browserHost;
    if (!host)
        return;
    host->CloseBrowser();
    // The process-wide pointer held the only reference: once it is given up
    // the pointer must not outlive the object.
    g_browserHost = NULL;
    host->Release();
}
