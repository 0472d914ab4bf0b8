#include "emfspool/pagerecords.h"
#include "base/spoolformat.h"
#include "emfspool/recordsizes.h"

namespace {
constexpr size_t kHeaderMinimum = 88;  // ENHMETAHEADER up to nPalEntries' neighbours
constexpr DWORD kStockFlag = 0x80000000;
constexpr DWORD kMaxHandles = 0xFFFF;  // what the player's handle table is made for: a WORD's worth


// Where a record that names a brush of the handle table further in keeps it.
constexpr size_t kRegionBrushParameter = 5;  // FILLRGN, FRAMERGN: after rclBounds and cbRgnData

// The records whose first parameter is a handle-table index.
bool takesHandleIndex(DWORD type) {
    switch (type) {
    case EMR_SELECTOBJECT: case EMR_DELETEOBJECT: case EMR_CREATEPEN: case EMR_CREATEBRUSHINDIRECT:
    case EMR_SELECTPALETTE: case EMR_CREATEPALETTE: case EMR_SETPALETTEENTRIES: case EMR_RESIZEPALETTE:
    case EMR_EXTCREATEFONTINDIRECTW: case EMR_CREATEMONOBRUSH: case EMR_CREATEDIBPATTERNBRUSHPT:
    case EMR_EXTCREATEPEN: case EMR_CREATECOLORSPACE: case EMR_SETCOLORSPACE: case EMR_DELETECOLORSPACE:
    case EMR_CREATECOLORSPACEW: case EMR_COLORCORRECTPALETTE:
        return true;
    default:
        return false;
    }
}

// Stock values Wine's player turns into stock objects itself.
bool playerTakesStock(DWORD type, DWORD value) {
    DWORD index = value & ~kStockFlag;
    return (type == EMR_SELECTOBJECT && index <= STOCK_LAST) || (type == EMR_SELECTPALETTE && index == DEFAULT_PALETTE);
}
}  // namespace

bool checkPageRecords(const BYTE* page, size_t size, const char** reason) {
    if (size < kHeaderMinimum || readDword(page) != EMR_HEADER) return refuseInput("page has no metafile header", reason);
    size_t headerSize = readDword(page + 4);
    size_t bytes = readDword(page + 48);
    DWORD records = readDword(page + 52);
    DWORD handles = *reinterpret_cast<const WORD*>(page + 56);  // nHandles is a WORD
    DWORD palette = readDword(page + 68);
    if (headerSize < kHeaderMinimum || headerSize > size || headerSize % 4) return refuseInput("page header size out of range", reason);
    if (bytes < headerSize || bytes > size) return refuseInput("page size out of range", reason);
    if (records == 0 || records > bytes / 8) return refuseInput("page record count out of range", reason);
    if (handles == 0 || handles > kMaxHandles) return refuseInput("page handle count out of range", reason);
    if (palette > bytes / 4) return refuseInput("page palette out of range", reason);
    size_t offset = headerSize;
    for (DWORD n = 1; offset < bytes; ++n) {
        if (bytes - offset < 8) return refuseInput("page record cut short", reason);
        DWORD recordSize = readDword(page + offset + 4);
        if (recordSize < 8 || recordSize % 4 || recordSize > bytes - offset) return refuseInput("page record runs past the page", reason);
        if (n >= records && readDword(page + offset) != EMR_EOF) return refuseInput("page has more records than it says", reason);
        if (!recordFitsItsCounts(page + offset, recordSize)) return refuseInput("page record holds more than its size", reason);
        // The player plays to the header's byte count: the end record is the last.
        if (readDword(page + offset) == EMR_EOF)
            return offset + recordSize == bytes ? true : refuseInput("page has records after its end record", reason);
        offset += recordSize;
    }
    return refuseInput("page ends without its last record", reason);
}

bool isPlayableRecord(const ENHMETARECORD* record, DWORD handleCount) {
    if (record->iType == EMR_FILLRGN || record->iType == EMR_FRAMERGN) {
        if (record->nSize < 8 + (kRegionBrushParameter + 1) * 4) return false;
        DWORD brush = record->dParm[kRegionBrushParameter];
        return brush != 0 && brush < handleCount;  // no stock value: the player indexes its table with it
    }
    if (!takesHandleIndex(record->iType)) return true;
    if (record->nSize < 12) return false;  // no room for the index
    DWORD index = record->dParm[0];
    if (index & kStockFlag) return playerTakesStock(record->iType, index);
    return index != 0 && index < handleCount;  // 0 is the metafile itself
}
