#include "base/printerkey.h"
#include <cstring>
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

void escapePathName(wchar_t* name) {
    if (!name) return;
    wchar_t escaped[MAX_PATH] = {};
    size_t out = 0;
    for (const wchar_t* p = name; *p; ++p) {
        const wchar_t* piece = nullptr;
        for (const EscapeRule& rule : kEscapes)
            if (*p == rule.ch) piece = rule.text;
        size_t len = piece ? 3 : 1;
        if (out + len >= MAX_PATH) break;  // keep whole characters only
        if (piece) {
            memcpy(escaped + out, piece, 3 * sizeof(wchar_t));
        } else {
            escaped[out] = *p;
        }
        out += len;
    }
    escaped[out] = L'\0';
    memcpy(name, escaped, (out + 1) * sizeof(wchar_t));
}

bool settingsKeyPath(const wchar_t* printerName, wchar_t* path) {
    return SUCCEEDED(StringCchPrintfW(path, MAX_PATH, kSettingsKeyFormat, printerName));
}
