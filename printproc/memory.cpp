#include "printproc/memory.h"
#include <cstring>
#include <cwchar>

void* allocZeroed(SIZE_T bytes) { return LocalAlloc(LPTR, bytes); }

void freeBlock(void* block) {
    if (block) LocalFree(block);
}

LPWSTR duplicateStringWithRoom(LPCWSTR source, SIZE_T minChars) {
    if (!source) return nullptr;
    SIZE_T chars = wcslen(source) + 1;
    SIZE_T room = chars < minChars ? minChars : chars;
    auto copy = static_cast<LPWSTR>(allocZeroed(room * sizeof(wchar_t)));
    if (copy) memcpy(copy, source, chars * sizeof(wchar_t));
    return copy;
}

LPWSTR duplicateString(LPCWSTR source) { return duplicateStringWithRoom(source, 0); }
