// What one enhanced-metafile record claims to carry (points, polygons,
// rectangles, characters, bitmaps, palette entries, bytes), checked against
// the record's own size before Wine's player reads it.
#pragma once
#include <windows.h>
#include <cstddef>

// True when every count and offset the record holds stays inside its size
// bytes (size is the record's nSize, already inside the page).
bool recordFitsItsCounts(const BYTE* record, size_t size);
