// A job's parameter string (any user's): numbers and texts by keyword.
#include <cstring>
#include <string>
#include "printproc/params.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::wstring parameters(data, data + size);  // one character per byte, NUL-terminated by the string
    for (const wchar_t* keyword : {L"COPIES", L"TABS", L"NAME"}) {
        DWORD value = 0, bytes = sizeof(value);
        if (getParameter(parameters.c_str(), keyword, PARAM_NUMBER, &bytes, &value) == 0 && bytes != sizeof(DWORD))
            __builtin_trap();
        wchar_t text[16];
        DWORD capacity = sizeof(text);
        if (getParameter(parameters.c_str(), keyword, PARAM_TEXT, &capacity, text) == 0 && wcslen(text) >= 16)
            __builtin_trap();
    }
    return 0;
}
