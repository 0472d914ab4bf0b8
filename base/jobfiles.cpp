#include "base/jobfiles.h"
#include <cwchar>
#include <cwctype>

bool isJobFileName(const wchar_t* name) {
    for (int i = 0; i < 10; ++i)
        if (!iswascii(name[i]) || !iswalnum(name[i])) return false;
    if (name[10] != L'.') return false;
    const wchar_t* extension = name + 11;
    if (_wcsicmp(extension, L"dat") == 0 || _wcsicmp(extension, L"7z") == 0 || _wcsicmp(extension, L"psf") == 0)
        return true;
    size_t digits = 0;
    for (const wchar_t* p = extension; *p; ++p, ++digits)
        if (*p < L'0' || *p > L'9') return false;
    return digits >= 3;
}
