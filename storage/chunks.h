// Cutting a file into numbered chunk files of at most 16 MiB.
#pragma once
#include <windows.h>
#include <vector>
#include "protocol/chunkplan.h"
#include "storage/hash.h"

constexpr LONGLONG kChunkSize = static_cast<LONGLONG>(rpqproto::kChunkSize);

struct ChunkEntry {
    DWORD number = 0;
    wchar_t path[MAX_PATH] = {};
    wchar_t name[256] = {};
    DWORD size = 0;
    BYTE digest[kDigestSize] = {};
};

struct ChunkSet {
    wchar_t baseName[256] = {};
    ULONGLONG totalSize = 0;
    BYTE totalDigest[kDigestSize] = {};
    std::vector<ChunkEntry> chunks;
};

// Measures and checksums the file, writes its chunks beside it as
// <base>.001, <base>.002, ... and fills the set.
bool createChunkFilename(CRPQHash& hash, const wchar_t* path, ChunkSet& chunkSet, DWORD* noOfChunks);
// Copies the next chunk from source; bytesWritten must be 0 on entry.
bool writeChunk(CRPQHash& hash, HANDLE source, LONGLONG* bytesWritten, const wchar_t* chunkPath, BYTE* digest);
// Fills entry's number, path (drive, dir, base, ".NNN") and name; false
// when either does not fit its buffer (the path holds what was built).
bool buildChunkNames(const wchar_t* drive, const wchar_t* dir, const wchar_t* base, DWORD number, ChunkEntry& entry);
// Deletes every chunk file of the set and empties it.
void deleteChunkFiles(ChunkSet& chunkSet);
// Deletes a file and logs "Delete file <%s> - SUCCESS" or "- FAILED".
bool deleteFileLogged(const wchar_t* path);
