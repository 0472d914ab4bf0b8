#include "base/finalpath.h"
#include <cwchar>

bool isAtPath(HANDLE object, const wchar_t* path) {
    wchar_t expected[MAX_PATH + 8], final[MAX_PATH + 8];
    DWORD n = GetFullPathNameW(path, MAX_PATH + 8, expected, nullptr);
    if (n == 0 || n >= MAX_PATH + 8) return false;
    n = GetFinalPathNameByHandleW(object, final, MAX_PATH + 8, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= MAX_PATH + 8) return false;
    const wchar_t* plain = wcsncmp(final, L"\\\\?\\", 4) == 0 ? final + 4 : final;
    return _wcsicmp(plain, expected) == 0;
}
