#include "tools/toolerror.h"
#include <cstdio>
#include "base/errortext.h"

int failWith(const wchar_t* what, DWORD code) {
    std::wstring text = systemErrorLine(code);
    fwprintf(stderr, L"%ls failed: error %lu: %ls\n", what, code, text.empty() ? L"(no text for this code)" : text.c_str());
    return 1;
}
