#include "storage/chunks.h"
#include <algorithm>
#include <memory>
#include <new>
#include <cstdlib>
#include <strsafe.h>
#include "base/unique.h"
#include "diag/log.h"
#include "diag/security.h"

bool deleteFileLogged(const wchar_t* path) {
    wchar_t line[2048];
    bool ok = deleteSecureFile(path);
    if (ok) StringCchPrintfW(line, 2048, L"Delete file <%s> - SUCCESS", path);
    else StringCchPrintfW(line, 2048, L"Delete file <%s> - FAILED (Reason: %d)", path, static_cast<int>(GetLastError()));
    logMessageW(ok ? L_DEBUG : L_ERROR, L"%s", line);
    return ok;
}

bool writeChunk(CRPQHash& hash, HANDLE source, LONGLONG* bytesWritten, const wchar_t* chunkPath, BYTE* digest) {
    // A file left there is replaced, never written through (it may be a link).
    deleteSecureFile(chunkPath);
    unique_hfile chunk(createPrivateFile(chunkPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE));
    if (!chunk) {
        logMessage(L_ERROR, "Could not create the file. Reason: %lu", GetLastError());
        return false;
    }
    bool result = true;
    constexpr DWORD kCopyBlock = 1 << 20;
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[kCopyBlock]);
    if (!block) {
        logMessage(L_ERROR, "Could not allocate the copy buffer!");
        return false;
    }
    while (*bytesWritten < kChunkSize) {
        // Never read past the chunk's end: the next chunk starts there.
        DWORD want = static_cast<DWORD>(std::min<LONGLONG>(kChunkSize - *bytesWritten, kCopyBlock));
        DWORD got = 0;
        if (!ReadFile(source, block.get(), want, &got, nullptr)) {
            logMessage(L_ERROR, "Could not read source file. Error %u", static_cast<unsigned>(GetLastError()));
            result = false;
            break;
        }
        if (got == 0) break;
        DWORD written = 0;
        if (!WriteFile(chunk.get(), block.get(), got, &written, nullptr) || written != got) {
            logMessage(L_ERROR, "Could not write the file. Error %u", static_cast<unsigned>(GetLastError()));
            result = false;
            break;
        }
        *bytesWritten += written;
    }
    FlushFileBuffers(chunk.get());
    if (!hash.rewindFile(chunk.get()) || !hash.hashFile(chunk.get(), digest))
        logMessage(L_ERROR, "Could not compute the MD5 hash of the chunk. Reason: %lu", GetLastError());
    chunk.reset();
    logMessageW(L_DEBUG, L"Written the file <%s>", chunkPath);
    return result;
}

bool buildChunkNames(const wchar_t* drive, const wchar_t* dir, const wchar_t* base, DWORD number, ChunkEntry& entry) {
    entry.number = number;
    int n = static_cast<int>(number);
    bool pathFits = SUCCEEDED(StringCchPrintfW(entry.path, MAX_PATH, L"%s%s%s.%03d", drive, dir, base, n));
    bool nameFits = SUCCEEDED(StringCchPrintfW(entry.name, 256, L"%s.%03d", base, n));
    return pathFits && nameFits;
}

bool createChunkFilename(CRPQHash& hash, const wchar_t* path, ChunkSet& chunkSet, DWORD* noOfChunks) {
    logMessageW(L_TRACE, L"Chunking file <%s>", path);
    wchar_t drive[3], dir[MAX_PATH], base[256], ext[256];
    if (_wsplitpath_s(path, drive, 3, dir, MAX_PATH, base, 256, ext, 256) != 0) {
        logMessage(L_ERROR, "Could not split the file path");
        return false;
    }
    StringCchCopyW(chunkSet.baseName, 256, base);
    unique_hfile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        logMessage(L_ERROR, "Could not open the zip file. Reason: %lu", GetLastError());
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size)) {
        logMessage(L_ERROR, "Could not get the file size. Reason: %lu", GetLastError());
        return false;
    }
    chunkSet.totalSize = static_cast<ULONGLONG>(size.QuadPart);
    if (!hash.hashFile(file.get(), chunkSet.totalDigest)) {
        logMessage(L_ERROR, "Could not compute the MD5 hash. Reason: %lu", GetLastError());
        return false;
    }
    char hex[33];
    digestToHex(chunkSet.totalDigest, hex);
    logMessage(L_DEBUG, "File size: <%I64u> checksum TOTAL: <%s>", chunkSet.totalSize, hex);

    bool result = true;
    LONGLONG remaining = size.QuadPart;
    DWORD number = 0;
    do {
        ++number;
        ChunkEntry entry;
        if (!buildChunkNames(drive, dir, base, number, entry)) {
            logMessageW(L_ERROR, L"createChunkFilename: Failed result: <%s>", entry.path);
            result = false;
            break;
        }
        logMessageW(L_DEBUG, L"Create chunk filename <%s>", entry.name);
        logMessage(L_DEBUG, "Writing chunk number <%d>", static_cast<int>(number));
        LONGLONG written = 0;
        if (!writeChunk(hash, file.get(), &written, entry.path, entry.digest)) {
            logMessageW(L_ERROR, L"FAILED writing chunk number <%d> File <%s>!", static_cast<int>(number), entry.path);
            result = false;
            break;
        }
        logMessage(L_DEBUG, "Successfully written chunk number <%d>", static_cast<int>(number));
        entry.size = static_cast<DWORD>(written);
        digestToHex(entry.digest, hex);
        logMessage(L_DEBUG, "File size: <%ld> checksum chunk: <%s>", static_cast<long>(entry.size), hex);
        chunkSet.chunks.push_back(entry);
        remaining -= written;
    } while (remaining > 0);
    *noOfChunks = number;
    return result;
}

void deleteChunkFiles(ChunkSet& chunkSet) {
    for (const ChunkEntry& entry : chunkSet.chunks) deleteFileLogged(entry.path);
    while (!chunkSet.chunks.empty()) chunkSet.chunks.pop_back();
}
