#include "notifier/settingsdialog.h"
#include "notifier/resource.h"
#include "notifier/settings.h"
#include "notifier/validation.h"

const wchar_t kPortMessage[] =
    L"A valid port number must be between 1 and 65535 only and must not be a negative value(-)! Default Port: 8090";
const wchar_t kDurationMessage[] =
    L"A valid duration must be between 500 and 60000 only and must not be a negative value(-)! Default duration: 5000";

namespace {
std::wstring fieldText(HWND dialog, int id) {
    HWND field = GetDlgItem(dialog, id);
    int length = GetWindowTextLengthW(field);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    GetWindowTextW(field, &text[0], length + 1);
    text.resize(static_cast<size_t>(length));
    return text;
}

// btnOKClick: validate, store, close with OK whatever the outcome.
void save(HWND dialog, SettingsDialogState& state) {
    state.port = fieldText(dialog, IDC_PORT);
    state.duration = fieldText(dialog, IDC_DURATION);
    state.validated = false;
    if (!isValidPort(state.port)) {
        showErrorBox(dialog, kPortMessage);
        state.focus = IDC_PORT;
    } else if (!isValidDuration(state.duration)) {
        showErrorBox(dialog, kDurationMessage);
        state.focus = IDC_DURATION;
    } else {
        state.validated = true;
        saveSettings(state.port, state.duration, IsDlgButtonChecked(dialog, IDC_AUTOSTART) == BST_CHECKED);
    }
    EndDialog(dialog, IDOK);
}

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<SettingsDialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:  // FormShow
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        state = reinterpret_cast<SettingsDialogState*>(lParam);
        state->validated = false;
        SetDlgItemTextW(dialog, IDC_PORT, state->port.c_str());
        SetDlgItemTextW(dialog, IDC_DURATION, state->duration.c_str());
        CheckDlgButton(dialog, IDC_AUTOSTART, autoStartEnabled() ? BST_CHECKED : BST_UNCHECKED);
        if (state->focus) {  // shown again after a rejected Save: on the field that failed
            SetFocus(GetDlgItem(dialog, state->focus));
            return FALSE;
        }
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK && state) {
            save(dialog, *state);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    default: return FALSE;
    }
}
}  // namespace

INT_PTR showSettingsDialog(HWND owner, SettingsDialogState& state) {
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_SETTINGS), owner, dialogProc,
                           reinterpret_cast<LPARAM>(&state));
}

void showErrorBox(HWND owner, const std::wstring& text) {
    MessageBoxW(owner, text.c_str(), L"Error", MB_OK | MB_ICONERROR);
}
