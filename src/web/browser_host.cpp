#include "web/browser_host.h"
