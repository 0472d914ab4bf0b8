// MD5 through CryptoAPI, and its text form for logs.
#pragma once
#include <windows.h>
#include "base/hex.h"

class CRPQHash {
public:
    virtual ~CRPQHash() = default;
    // MD5 from the current position to the end; rewinds the file on success.
    bool hashFile(HANDLE file, BYTE* digest);
    bool rewindFile(HANDLE file);
};

// Size and MD5 of a file; the size is stored as soon as it is known.
bool checksumFile(CRPQHash& hash, const wchar_t* path, ULONGLONG* size, BYTE* digest);
