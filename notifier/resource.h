// Resource and control identifiers of Trayherald.
#pragma once
#define IDD_SETTINGS 100
#define IDC_PORT 201
#define IDC_DURATION 202
#define IDC_AUTOSTART 203
#define IDM_CLEAR 301
#define IDM_DISPLAY 302
#define IDM_SETTINGS 303
#define IDM_CLOSE 304
