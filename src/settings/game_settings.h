// The four settings that the launcher edits, shared with the game through
// config.cfg in the current directory.
#ifndef LAUNCHER_GAME_SETTINGS_H
#define LAUNCHER_GAME_SETTINGS_H

struct GameSettings {
    int screenWidth;
    int screenHeight;
    int screenBPP;
    int bloom;
};

// The process-wide settings, all 0 until LoadSettings finds their keys.
extern GameSettings g_gameSettings;

// Reads config.cfg into g_gameSettings; a missing file leaves them as they are.
void LoadSettings();

// Rewrites config.cfg, replacing the lines of the four keys with the current
// values and keeping every other line. Returns ERROR_SUCCESS, or the Windows
// error code of the step that failed last when the file was left as it was (it
// may not be written, cannot be read, or the disk had no room); a read-only
// file is ERROR_FILE_READ_ONLY. A file that another program's mapping keeps
// from being cut back is saved with blank lines after the new settings.
unsigned long SaveSettings();

#endif
