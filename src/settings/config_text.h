// The line logic of config.cfg, free of any Windows dependency.
#ifndef LAUNCHER_CONFIG_TEXT_H
#define LAUNCHER_CONFIG_TEXT_H

#include <string>

#include "settings/game_settings.h"

#endif
