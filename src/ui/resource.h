// Identifiers of the launcher's resources: dialog templates, their controls
// and the application icon. Shared by the resource script and the code.
#ifndef LAUNCHER_RESOURCE_H
#define LAUNCHER_RESOURCE_H

#define IDD_LAUNCHER 101
#define IDD_OPTIONS 105
#define IDI_APP 125

// Launcher window. The button identifiers double as the dialog's result codes.
#define IDC_PLAY 1000
#define IDC_OPTIONS 1001
#define IDC_CLOSE 1002
#define IDC_GAMEPAD 1003
#define IDC_WEB_PLACEHOLDER 1026
#define IDC_LAUNCHER_COMBO 1027

// Options dialog.
#define IDC_RESOLUTION 1004
#define IDC_MOTION_BLUR 1007
#define IDC_LENS_FLARE 1008
#define IDC_BLOOM 1009
#define IDC_SMOKE 1010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#endif
