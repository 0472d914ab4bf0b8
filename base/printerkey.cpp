#include "base/printerkey.h"
#include <cstring>
#include <cwchar>
#include <strsafe.h>

namespace {
struct EscapeRule {
    wchar_t ch;
    const wchar_t* text;
};
const EscapeRule kEscapes[] = {{L'%', L"%25"},  {L'\\', L"%5c"}, {L'/', L"%2f"}, {L':', L"%3a"},
                               {L'*', L"%2a"},  {L'?', L"%3f"}, {L'"', L"%22"},
                               {L'<', L"%3c"},  {L'>', L"%3e"}, {L'|', L"%7c"}};

}  // namespace

namespace {
// Names Windows takes for devices, with or without an extension.
bool isDeviceName(const wchar_t* name) {
    size_t length = 0;
    while (name[length] && name[length] != L'.') ++length;
    while (length > 0 && name[length - 1] == L' ') --length;
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* device : kDevices)
        if (wcslen(device) == length && _wcsnicmp(name, device, length) == 0) return true;
    return length == 4 && (_wcsnicmp(name, L"COM", 3) == 0 || _wcsnicmp(name, L"LPT", 3) == 0) && name[3] >= L'1' &&
           name[3] <= L'9';
}
}  // namespace

void escapePathName(wchar_t* name) {
    if (!name) return;
    size_t length = wcslen(name);
    // Trailing dots and spaces vanish from a file name (a name of dots alone
    // would be the folder itself or its parent): each is escaped.
    size_t trailing = length;
    while (trailing > 0 && (name[trailing - 1] == L'.' || name[trailing - 1] == L' ')) --trailing;
    bool device = isDeviceName(name);
    wchar_t escaped[MAX_PATH] = {};
    size_t out = 0;
    for (size_t i = 0; i < length; ++i) {
        const wchar_t* piece = nullptr;
        wchar_t hex[4] = {};
        for (const EscapeRule& rule : kEscapes)
            if (name[i] == rule.ch) piece = rule.text;
        if (!piece && (i >= trailing || (i == 0 && device)) && name[i] < 0x80) {
            StringCchPrintfW(hex, 4, L"%%%02x", static_cast<unsigned>(name[i]));
            piece = hex;
        }
        size_t len = piece ? 3 : 1;
        if (out + len >= MAX_PATH) break;  // keep whole characters only
        if (piece) {
            memcpy(escaped + out, piece, 3 * sizeof(wchar_t));
        } else {
            escaped[out] = name[i];
        }
        out += len;
    }
    escaped[out] = L'\0';
    memcpy(name, escaped, (out + 1) * sizeof(wchar_t));
}

bool settingsKeyPath(const wchar_t* printerName, wchar_t* path) {
    return SUCCEEDED(StringCchPrintfW(path, MAX_PATH, kSettingsKeyFormat, printerName));
}
