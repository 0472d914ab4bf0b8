#include "transfer/strings.h"
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

bool copyW(wchar_t* target, size_t capacity, const wchar_t* source) {
    if (!target || capacity == 0) return false;
    target[0] = L'\0';
    return appendW(target, capacity, source);
}

bool appendW(wchar_t* target, size_t capacity, const wchar_t* source) {
    if (!target || capacity == 0 || !source) return false;
    size_t used = wcsnlen(target, capacity);
    size_t add = wcslen(source);
    if (used >= capacity || add >= capacity - used) return false;
    memcpy(target + used, source, (add + 1) * sizeof(wchar_t));
    return true;
}

bool copyA(char* target, size_t capacity, const char* source) {
    if (!target || capacity == 0) return false;
    target[0] = '\0';
    return appendA(target, capacity, source);
}

bool appendA(char* target, size_t capacity, const char* source) {
    if (!target || capacity == 0 || !source) return false;
    size_t used = strnlen(target, capacity);
    size_t add = strlen(source);
    if (used >= capacity || add >= capacity - used) return false;
    memcpy(target + used, source, add + 1);
    return true;
}

void formatTruncA(char* target, size_t capacity, const char* format, va_list args) {
    if (!target || capacity == 0) return;
    int n = _vsnprintf(target, capacity - 1, format, args);
    if (n < 0 || static_cast<size_t>(n) >= capacity - 1) target[capacity - 1] = '\0';
}

void formatTruncW(wchar_t* target, size_t capacity, const wchar_t* format, va_list args) {
    if (!target || capacity == 0) return;
    int n = _vsnwprintf(target, capacity - 1, format, args);
    if (n < 0 || static_cast<size_t>(n) >= capacity - 1) target[capacity - 1] = L'\0';
}

bool formatW(wchar_t* target, size_t capacity, const wchar_t* format, ...) {
    if (!target || capacity == 0) return false;
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(target, capacity, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= capacity) {
        target[capacity - 1] = L'\0';
        return false;
    }
    return true;
}

bool formatA(char* target, size_t capacity, const char* format, ...) {
    if (!target || capacity == 0) return false;
    va_list args;
    va_start(args, format);
    int n = _vsnprintf(target, capacity, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= capacity) {
        target[capacity - 1] = '\0';
        return false;
    }
    return true;
}
