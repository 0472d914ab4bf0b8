#include "tools/toolerror.h"
#include <cstdio>

int failWith(const wchar_t* what, DWORD code) {
    LPWSTR text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    while (n > 0 && (text[n - 1] == L'\n' || text[n - 1] == L'\r' || text[n - 1] == L' ')) text[--n] = L'\0';
    fwprintf(stderr, L"%ls failed: error %lu: %ls\n", what, code, n ? text : L"(no text for this code)");
    if (text) LocalFree(text);
    return 1;
}
