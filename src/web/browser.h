// The system web-browser control embedded in the launcher window.
#ifndef LAUNCHER_BROWSER_H
#define LAUNCHER_BROWSER_H

#include <windows.h>

class BrowserHost;

// The one site object of the process; null when no browser was attached or
// after it has been destroyed.
extern BrowserHost* g_browserHost;

// Switches on, for the process, the locks a browser puts on a page, then
// creates the site object and embeds the browser in the dialog's placeholder
// frame, and starts navigation to the portal's start page. OLE must be
// initialised. Does nothing while a site object exists.
void AttachBrowser(HWND dialog);

// Closes and releases the browser and frees the site object, if there is one.
void DestroyBrowser();

#endif
