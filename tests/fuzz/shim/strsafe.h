// strsafe's bounded copies, as the C library offers them.
#pragma once
#include <cstdarg>
#include <cstdio>
typedef long HRESULT;
inline HRESULT StringCchPrintfA(char* target, size_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(target, capacity, format, args);
    va_end(args);
    return n < 0 || static_cast<size_t>(n) >= capacity ? -1 : 0;
}
inline HRESULT StringCchCopyA(char* target, size_t capacity, const char* source) {
    return StringCchPrintfA(target, capacity, "%s", source);
}
