// One page of an EMF spool stream (an enhanced metafile from any user's
// job) checked before Wine's player sees it, and the records it must not be
// handed.
#pragma once
#include <windows.h>
#include <cstddef>

// The page's header and record chain: header sizes and counts within the
// page, every record at least 8 bytes, a multiple of 4, inside the page and
// holding no more than its size, up to EMR_EOF, which must be the last
// record by the header's byte count (the player's end). False with the reason when the page cannot be played safely.
bool checkPageRecords(const BYTE* page, size_t size, const char** reason);

// Whether Wine's player may be handed the record: no stock-object value
// where it indexes its handle table with one, no handle index (a region's
// brush too) at or beyond the header's handle count. The record has been checked by checkPageRecords.
bool isPlayableRecord(const ENHMETARECORD* record, DWORD handleCount);
