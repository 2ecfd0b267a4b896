// A second process for the settings fault tests.
//
//   config_saver hold FILE SHARE READY RELEASE
//       opens FILE for reading with the share mode SHARE (a number), as the
//       running game holds config.cfg, signals the event READY and keeps the
//       file open until the event RELEASE is signalled.
//   config_saver loop READY W H BPP BLOOM W H BPP BLOOM
//       signals the event READY, then saves config.cfg in the current folder
//       over and over, alternating between the two settings, until it is
//       killed.
//   config_saver rounds GO N W H BPP BLOOM W H BPP BLOOM
//       waits for the event GO, then saves N times, alternating between the
//       two settings, and exits with the number of saves that failed.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "settings/game_settings.h"

namespace {

int Hold(char** argv) {
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[4]);
    HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, argv[5]);
    if (!ready || !release)
        return 3;
    DWORD share = static_cast<DWORD>(std::strtoul(argv[3], NULL, 10));
    HANDLE file = CreateFileA(argv[2], GENERIC_READ, share, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 4;
    SetEvent(ready);
    WaitForSingleObject(release, 60000);
    CloseHandle(file);
    CloseHandle(ready);
    CloseHandle(release);
    return 0;
}

void ReadSettings(char** argv, GameSettings settings[2]) {
    for (int i = 0; i < 2; ++i) {
        settings[i].screenWidth = std::atoi(argv[4 * i]);
        settings[i].screenHeight = std::atoi(argv[1 + 4 * i]);
        settings[i].screenBPP = std::atoi(argv[2 + 4 * i]);
        settings[i].bloom = std::atoi(argv[3 + 4 * i]);
    }
}

int Rounds(char** argv) {
    HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
    if (!go || WaitForSingleObject(go, 60000) != WAIT_OBJECT_0)
        return 200;
    int rounds = std::atoi(argv[3]);
    GameSettings settings[2];
    ReadSettings(argv + 4, settings);
    int failed = 0;
    for (int n = 0; n < rounds; ++n) {
        g_gameSettings = settings[n % 2];
        if (SaveSettings() != ERROR_SUCCESS)
            ++failed;
    }
    CloseHandle(go);
    return failed;
}

int Loop(char** argv) {
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
    if (!ready)
        return 3;
    GameSettings settings[2];
    ReadSettings(argv + 3, settings);
    SetEvent(ready);
    for (unsigned n = 0;; ++n) {
        g_gameSettings = settings[n % 2];
        SaveSettings();
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::strcmp(argv[1], "hold") == 0)
        return Hold(argv);
    if (argc == 11 && std::strcmp(argv[1], "loop") == 0)
        return Loop(argv);
    if (argc == 12 && std::strcmp(argv[1], "rounds") == 0)
        return Rounds(argv);
    return 2;
}
