// One enhanced-metafile page on its own: the checks that decide whether
// Wine's player sees it, and which of its records it is handed.
#include <cstring>
#include <vector>
#include "emfspool/pagerecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint32_t> copy((size + 3) / 4);
    if (size) memcpy(copy.data(), data, size);
    auto* bytes = reinterpret_cast<const BYTE*>(copy.data());
    const char* reason = nullptr;
    if (!checkPageRecords(bytes, size, &reason)) return 0;
    uint32_t nBytes = 0, headerSize = 0;
    memcpy(&headerSize, bytes + 4, 4);
    memcpy(&nBytes, bytes + 48, 4);
    DWORD handles = 0;
    memcpy(&handles, bytes + 56, 2);
    // Accepted: every record up to EMR_EOF lies inside the page.
    for (size_t offset = headerSize; offset < nBytes;) {
        if (offset + 8 > size) __builtin_trap();
        auto* record = reinterpret_cast<const ENHMETARECORD*>(bytes + offset);
        if (record->nSize < 8 || offset + record->nSize > nBytes) __builtin_trap();
        isPlayableRecord(record, handles);
        if (record->iType == EMR_EOF) break;
        offset += record->nSize;
    }
    return 0;
}
