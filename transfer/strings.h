// Bounded string building: every operation fails rather than overflow.
#pragma once
#include <windows.h>
#include <cstddef>

bool copyW(wchar_t* target, size_t capacity, const wchar_t* source);
bool appendW(wchar_t* target, size_t capacity, const wchar_t* source);
bool copyA(char* target, size_t capacity, const char* source);
bool appendA(char* target, size_t capacity, const char* source);
// printf into a fixed buffer with the MS CRT's conventions (%s wide in the
// wide variant); false, with an empty or truncated but terminated target,
// when the result does not fit.
bool formatW(wchar_t* target, size_t capacity, const wchar_t* format, ...);
bool formatA(char* target, size_t capacity, const char* format, ...);
// As formatA/formatW, but keeps what fits and always terminates.
void formatTruncA(char* target, size_t capacity, const char* format, va_list args);
void formatTruncW(wchar_t* target, size_t capacity, const wchar_t* format, va_list args);
