// MD5 through CryptoAPI, and its text form for logs.
#pragma once
#include <windows.h>

constexpr size_t kDigestSize = 16;

class CRPQHash {
public:
    virtual ~CRPQHash() = default;
    // MD5 from the current position to the end; rewinds the file on success.
    bool hashFile(HANDLE file, BYTE* digest);
    bool rewindFile(HANDLE file);
    // 32 lower-case hex digits and a NUL into text (33 characters).
    static void digestToHex(const BYTE* digest, char* text);
};

// The calling thread's job's hashing facility, or null.
CRPQHash* jobHash();

// Size and MD5 of a file; the size is stored as soon as it is known.
bool checksumFile(const wchar_t* path, ULONGLONG* size, BYTE* digest);
