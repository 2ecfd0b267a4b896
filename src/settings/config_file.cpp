#include "settings/game_settings.h"

GameSettings g_gameSettings;

void LoadSettings() {}

void SaveSettings() {}
