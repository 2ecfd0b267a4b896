// The OLE site object that hosts the web-browser control.
#ifndef LAUNCHER_BROWSER_HOST_H
#define LAUNCHER_BROWSER_HOST_H

#include <windows.h>

class BrowserHost {};

#endif
