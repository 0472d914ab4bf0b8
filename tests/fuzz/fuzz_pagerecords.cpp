// One enhanced-metafile page on its own: the checks that decide whether
// Wine's player sees it, and which of its records it is handed; the records
// it accepts are then read as the player reads them (bitmaps by their
// headers, text by its counts), so a check that lets through more than the
// player can safely read is caught by the sanitizer.
#include <cstring>
#include <vector>
#include "emfspool/pagerecords.h"
#include "emfspool/recordsizes.h"

namespace {
volatile uint8_t g_sink;

// Touches [offset, offset + length) of the record as the player reads it.
void touch(const BYTE* record, uint64_t offset, uint64_t length) {
    for (uint64_t i = 0; i < length; ++i) g_sink = g_sink + record[offset + i];
}

// What Wine's player reads of a bitmap, by the header alone (not by the
// checker's rules): the header at offBmi (whenever the kind reads one), its
// colour table, the bits the header's format needs, and, for ALPHABLEND, the
// cbBits bytes it copies into a bitmap made from the header.
void readBitmap(const BYTE* r, size_t fieldsAt, uint32_t usage, bool copiesBits, bool optional) {
    uint32_t offBmi, cbBmi, offBits, cbBits;
    memcpy(&offBmi, r + fieldsAt, 4);
    memcpy(&cbBmi, r + fieldsAt + 4, 4);
    memcpy(&offBits, r + fieldsAt + 8, 4);
    memcpy(&cbBits, r + fieldsAt + 12, 4);
    if (optional && offBmi == 0) return;
    uint32_t headerSize;
    memcpy(&headerSize, r + offBmi, 4);
    touch(r, offBmi, headerSize == 12 ? 12 : 40);
    uint64_t width, height, bpp, compression = 0, used = 0;
    if (headerSize == 12) {
        uint16_t w, h, b;
        memcpy(&w, r + offBmi + 4, 2), memcpy(&h, r + offBmi + 6, 2), memcpy(&b, r + offBmi + 10, 2);
        width = w, height = h, bpp = b;
    } else {
        int32_t w, h;
        uint16_t b;
        uint32_t c, u;
        memcpy(&w, r + offBmi + 4, 4), memcpy(&h, r + offBmi + 8, 4), memcpy(&b, r + offBmi + 14, 2);
        memcpy(&c, r + offBmi + 16, 4), memcpy(&u, r + offBmi + 32, 4);
        width = static_cast<uint64_t>(w < 0 ? -int64_t(w) : w), height = static_cast<uint64_t>(h < 0 ? -int64_t(h) : h);
        bpp = b, compression = c, used = u;
    }
    if (bpp && bpp <= 8) touch(r, offBmi + headerSize, (used ? used : 1ull << bpp) * (usage == 1 ? 2 : headerSize == 12 ? 3 : 4));
    uint64_t need = ((width * bpp + 31) / 32) * 4 * height;
    if (compression == 0) touch(r, offBits, need);
    else touch(r, offBits, cbBits);
    if (copiesBits) {
        std::vector<uint8_t> section(need ? need : 1);
        memcpy(section.data(), r + offBits, cbBits);  // into a bitmap of the header's size
    }
}

// The player's reads of one accepted record, for the kinds whose reads
// follow counts and offsets inside it.
void playRecord(const BYTE* r) {
    uint32_t type;
    memcpy(&type, r, 4);
    auto dword = [r](size_t at) {
        uint32_t v;
        memcpy(&v, r + at, 4);
        return v;
    };
    switch (type) {
    case EMR_BITBLT: case EMR_STRETCHBLT: readBitmap(r, 84, dword(80), false, true); break;
    case EMR_ALPHABLEND: readBitmap(r, 84, dword(80), true, false); break;
    case EMR_TRANSPARENTBLT: readBitmap(r, 84, dword(80), false, false); break;
    case EMR_MASKBLT: readBitmap(r, 84, dword(80), false, true), readBitmap(r, 112, dword(108), false, false); break;
    case EMR_PLGBLT: readBitmap(r, 96, dword(92), false, false), readBitmap(r, 124, dword(120), false, false); break;
    case EMR_SETDIBITSTODEVICE: case EMR_STRETCHDIBITS: readBitmap(r, 48, dword(64), false, false); break;
    case EMR_CREATEMONOBRUSH: case EMR_CREATEDIBPATTERNBRUSHPT: readBitmap(r, 16, dword(12), false, false); break;
    case EMR_EXTTEXTOUTW: case EMR_POLYTEXTOUTW: {
        bool poly = type == EMR_POLYTEXTOUTW;
        uint32_t strings = poly ? dword(36) : 1;
        for (uint32_t i = 0; i < strings; ++i) {
            size_t text = poly ? 40 + i * 40 : 36;
            uint32_t chars = dword(text + 8), offString = dword(text + 12), options = dword(text + 16),
                     offDx = dword(text + 36);
            touch(r, offString, uint64_t(chars) * 2);
            if (offDx || poly) touch(r, offDx, uint64_t(chars) * ((options & ETO_PDY) ? 8 : 4));
        }
        break;
    }
    default: break;
    }
}
}  // namespace

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
        if (isPlayableRecord(record, handles)) playRecord(reinterpret_cast<const BYTE*>(record));
        ended = record->iType == EMR_EOF;
        offset += record->nSize;
    }
    if (!ended) __builtin_trap();
    return 0;
}
