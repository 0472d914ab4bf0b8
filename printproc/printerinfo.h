#pragma once
#include <windows.h>
#include <memory>

// GetPrinterW into a local-heap block the caller frees; null with *error
// set on failure (ERROR_NOT_ENOUGH_MEMORY when no block would do).
BYTE* fetchPrinterInfo(HANDLE printer, DWORD level, DWORD* error);
// GetJobW at the level into a block of its own size; null when the job's
// information cannot be read.
std::unique_ptr<BYTE[]> fetchJobInfo(HANDLE printer, DWORD jobId, DWORD level);
