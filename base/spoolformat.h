// Record identifiers of the EMF spool stream (the data of an "NT EMF 1.00x"
// job): a header, then records {ulID, cjSize, data} padded to 4 bytes.
#pragma once
#include <windows.h>
#include <cstring>

constexpr DWORD kSpoolStreamVersion = 0x00010000;
constexpr DWORD kRecordMetafile = 1;  // a whole page, older writers
constexpr DWORD kRecordDevmode = 3;   // in force for the pages after it
constexpr DWORD kRecordBwMetafile = 10;
constexpr DWORD kRecordMetafileData = 12;  // a page's enhanced metafile...
constexpr DWORD kRecordMetafileExt = 13;   // ...and its extension: 64-bit offset back to it
constexpr DWORD kRecordBwMetafileExt = 14;

// A little-endian DWORD at any alignment.
inline DWORD readDword(const BYTE* at) {
    DWORD value;
    memcpy(&value, at, sizeof(value));
    return value;
}

// Records the reason a reader refuses its input; always false.
inline bool refuseInput(const char* why, const char** reason) {
    if (reason) *reason = why;
    return false;
}
