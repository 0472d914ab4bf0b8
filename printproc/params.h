// Lookup of "KEYWORD=value;" entries in the spooler's parameter string.
#pragma once
#include <windows.h>

enum ParameterKind : DWORD { PARAM_TEXT = 1, PARAM_NUMBER = 2 };

// Returns 0 and the value, or ERROR_NO_DATA, ERROR_INSUFFICIENT_BUFFER or
// ERROR_INVALID_PARAMETER with *size 0. *size is in bytes on entry; on
// success it is 4 for a number and the length in characters for text.
DWORD getParameter(LPCWSTR parameters, LPCWSTR keyword, DWORD kind, DWORD* size, void* value);
