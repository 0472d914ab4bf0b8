#include "printproc/printerinfo.h"
#include <winspool.h>
#include <new>
#include "printproc/memory.h"

BYTE* fetchPrinterInfo(HANDLE printer, DWORD level, DWORD* error) {
    DWORD size = 2048;
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto block = static_cast<BYTE*>(allocZeroed(size));
        if (!block) break;
        DWORD needed = 0;
        if (GetPrinterW(printer, level, block, size, &needed)) {
            *error = 0;
            return block;
        }
        DWORD last = GetLastError();
        freeBlock(block);
        if (last != ERROR_INSUFFICIENT_BUFFER) {
            *error = last;
            return nullptr;
        }
        size = needed;
    }
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
}

std::unique_ptr<BYTE[]> fetchJobInfo(HANDLE printer, DWORD jobId, DWORD level) {
    DWORD needed = 0;
    GetJobW(printer, jobId, level, nullptr, 0, &needed);
    if (needed == 0) return nullptr;
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[needed]());
    if (!block || !GetJobW(printer, jobId, level, block.get(), needed, &needed)) return nullptr;
    return block;
}
