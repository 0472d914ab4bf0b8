// The datatypes this print processor accepts, in index order.
#pragma once
#include <windows.h>

enum Datatype : DWORD {
    DT_RAW = 0,
    DT_EMF_1006 = 1,
    DT_EMF_1007 = 2,
    DT_EMF_1008 = 3,
    DT_TEXT = 4,
    DT_UNKNOWN = 5,
};

extern const LPCWSTR kDatatypeNames[];  // ends with a null entry
constexpr DWORD kDatatypeCount = 5;

// Case-insensitive lookup of the whole name; DT_UNKNOWN when none matches.
DWORD lookupDatatype(LPCWSTR name);
inline bool isEmfDatatype(DWORD datatype) { return datatype >= DT_EMF_1006 && datatype <= DT_EMF_1008; }
