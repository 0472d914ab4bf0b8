// TSettingsFrm: the modal dialog for the port, the display time and the
// start at logon.
#pragma once
#include <windows.h>
#include <string>

struct SettingsDialogState {
    std::wstring port;       // in and out: the field texts
    std::wstring duration;
    bool validated = false;  // true only after a successful Save
    int focus = 0;           // the field a rejected Save failed on: focused when shown again
};

// Shows the dialog once; IDOK after Save (validated or not), IDCANCEL after
// Cancel or closing it.
INT_PTR showSettingsDialog(HWND owner, SettingsDialogState& state);

// The dialog's error box: "Error", an error icon and OK, centred.
void showErrorBox(HWND owner, const std::wstring& text);

extern const wchar_t kPortMessage[];
extern const wchar_t kDurationMessage[];
