#include "settings/config_text.h"
