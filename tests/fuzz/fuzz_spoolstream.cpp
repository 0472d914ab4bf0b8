// The EMF spool stream of any user's job, then every page it lists as the
// Wine stand-in checks and walks it before playing.
#include <cstring>
#include <vector>
#include "emfspool/pagerecords.h"
#include "emfspool/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SpoolStream stream;
    const char* reason = nullptr;
    if (!parseSpoolStream(data, size, &stream, &reason)) return 0;
    for (const SpoolPage& page : stream.pages) {
        if (page.offset > size || page.size > size - page.offset) __builtin_trap();  // a page outside the stream
        if (page.devMode && (reinterpret_cast<const uint8_t*>(page.devMode) < data ||
                             reinterpret_cast<const uint8_t*>(page.devMode) + page.devMode->dmSize +
                                     page.devMode->dmDriverExtra > data + size))
            __builtin_trap();
        // The page's own bytes, aligned as the player gets them.
        std::vector<uint32_t> copy((page.size + 3) / 4);
        if (page.size) memcpy(copy.data(), data + page.offset, page.size);
        auto* bytes = reinterpret_cast<const BYTE*>(copy.data());
        if (!checkPageRecords(bytes, page.size, &reason)) continue;
        DWORD handles = 0;
        memcpy(&handles, bytes + 56, 2);
        uint32_t offset = 0, nBytes = 0;
        memcpy(&offset, bytes + 4, 4);
        memcpy(&nBytes, bytes + 48, 4);
        // The player's walk: to the header's byte count, the end record last.
        bool ended = false;
        while (offset < nBytes) {
            if (ended || offset + 8 > page.size) __builtin_trap();
            auto* record = reinterpret_cast<const ENHMETARECORD*>(bytes + offset);
            if (record->nSize < 8 || offset + record->nSize > nBytes) __builtin_trap();
            isPlayableRecord(record, handles);
            ended = record->iType == EMR_EOF;
            offset += record->nSize;
        }
        if (!ended) __builtin_trap();
    }
    return 0;
}
