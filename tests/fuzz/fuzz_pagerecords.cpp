// One enhanced-metafile page on its own: the checks that decide whether
// Wine's player sees it, and which of its records it is handed.
#include <cstring>
#include <vector>
#include "emfspool/pagerecords.h"
#include "emfspool/recordsizes.h"

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
    // Accepted: the player walks to the header's byte count; every record on
    // that walk lies inside the page, and the end record is the last one.
    bool ended = false;
    for (size_t offset = headerSize; offset < nBytes;) {
        if (ended || offset + 8 > size) __builtin_trap();
        auto* header = reinterpret_cast<const ENHMETARECORD*>(bytes + offset);
        if (header->nSize < 8 || offset + header->nSize > nBytes) __builtin_trap();
        // The record alone, in a buffer of its own size: a read past it is caught.
        std::vector<uint32_t> alone(header->nSize / 4);
        memcpy(alone.data(), header, header->nSize);
        auto* record = reinterpret_cast<const ENHMETARECORD*>(alone.data());
        if (!recordFitsItsCounts(reinterpret_cast<const BYTE*>(record), record->nSize)) __builtin_trap();
        isPlayableRecord(record, handles);
        ended = record->iType == EMR_EOF;
        offset += record->nSize;
    }
    if (!ended) __builtin_trap();
    return 0;
}
