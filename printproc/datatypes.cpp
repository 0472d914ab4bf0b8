#include "printproc/datatypes.h"

const LPCWSTR kDatatypeNames[] = {L"RAW", L"NT EMF 1.006", L"NT EMF 1.007", L"NT EMF 1.008", L"TEXT", nullptr};

DWORD lookupDatatype(LPCWSTR name) {
    if (!name) return DT_UNKNOWN;
    for (DWORD i = 0; kDatatypeNames[i]; ++i)
        if (_wcsicmp(name, kDatatypeNames[i]) == 0) return i;
    return DT_UNKNOWN;
}
