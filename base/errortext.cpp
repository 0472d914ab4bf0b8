#include "base/errortext.h"
#include "base/unique.h"

std::wstring systemErrorText(DWORD code, DWORD language) {
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
    HMODULE wininet = nullptr;
    if (code >= 12000 && code <= 12175) {
        wininet = GetModuleHandleW(L"wininet.dll");  // never loaded for this
        if (!wininet) return {};
        flags |= FORMAT_MESSAGE_FROM_HMODULE;
    } else {
        flags |= FORMAT_MESSAGE_FROM_SYSTEM;
    }
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(flags, wininet, code, language, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    unique_hlocal owned(text);
    return n && text ? std::wstring(text, n) : std::wstring();
}

std::wstring systemErrorLine(DWORD code) {
    std::wstring text = systemErrorText(code);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    return text;
}
