#pragma once
#include <windows.h>

// GetPrinterW into a local-heap block the caller frees; null with *error
// set on failure (ERROR_NOT_ENOUGH_MEMORY when no block would do).
BYTE* fetchPrinterInfo(HANDLE printer, DWORD level, DWORD* error);
