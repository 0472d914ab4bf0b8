#include "storage/hash.h"
#include <wincrypt.h>
#include <memory>
#include <new>
#include "base/unique.h"
#include "diag/log.h"

namespace {
constexpr DWORD kHashBlock = 1 << 20;

void releaseProvider(HCRYPTPROV p) { CryptReleaseContext(p, 0); }
void destroyHash(HCRYPTHASH h) { CryptDestroyHash(h); }
using unique_hcryptprov = CUniqueAny<HCRYPTPROV, releaseProvider>;
using unique_hcrypthash = CUniqueAny<HCRYPTHASH, destroyHash>;
}  // namespace

bool CRPQHash::rewindFile(HANDLE file) { return SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER; }

bool CRPQHash::hashFile(HANDLE file, BYTE* digest) {
    unique_hcryptprov provider;
    if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return false;
    unique_hcrypthash hash;
    if (!CryptCreateHash(provider.get(), CALG_MD5, 0, 0, hash.put())) return false;
    // Large blocks: a read per kilobyte would cost more than the hashing.
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[kHashBlock]);
    if (!block) return false;
    DWORD got = 0;
    BOOL readOk;
    while ((readOk = ReadFile(file, block.get(), kHashBlock, &got, nullptr)) && got > 0)
        if (!CryptHashData(hash.get(), block.get(), got, 0)) return false;
    rewindFile(file);
    if (!readOk) return false;
    DWORD size = kDigestSize;
    return CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &size, 0) != FALSE;
}

bool checksumFile(CRPQHash& hash, const wchar_t* path, ULONGLONG* size, BYTE* digest) {
    logMessageW(L_INFO, L"Open file <%s> for checksum calculation", path);
    unique_hfile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        logMessage(L_ERROR, "Could not open the data file. Reason: %lu", GetLastError());
        return false;
    }
    LARGE_INTEGER fileSize;
    if (!GetFileSizeEx(file.get(), &fileSize)) {
        logMessage(L_ERROR, "Could not get the file size. Reason: %lu", GetLastError());
        return false;
    }
    *size = static_cast<ULONGLONG>(fileSize.QuadPart);
    if (!hash.hashFile(file.get(), digest)) {
        logMessage(L_ERROR, "Could not compute the MD5 hash. Reason: %lu", GetLastError());
        return false;
    }
    return true;
}
