// Compression of a job's capture file into a 7z archive through 7z.dll.
#pragma once
#include <windows.h>
#include <atomic>
#include <string>
#include <vector>
#include "storage/sevenzip_iface.h"

class CLog;

constexpr DWORD kMaxIoChunk = 0x400000;  // 4 MiB per system call

struct CDirItem {
    UInt64 size = 0;
    FILETIME creationTime = {}, accessTime = {}, writeTime = {};
    std::wstring name;
    std::wstring fullPath;
    UInt32 attributes = 0;
};

// Reference counting in one place: objects start at 0 and delete
// themselves when the last reference goes.
class CRefCounted {
protected:
    virtual ~CRefCounted() = default;
    ULONG addRef() { return ++m_refs; }
    ULONG release() {
        ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> m_refs{0};
};

class CInFileStream final : public IInStream, public IStreamGetSize, private CRefCounted {
public:
    bool open(const wchar_t* path);  // read, sharing read, existing only
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE Read(void* data, UInt32 size, UInt32* processedSize) override;
    HRESULT STDMETHODCALLTYPE Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) override;
    HRESULT STDMETHODCALLTYPE GetSize(UInt64* size) override;

private:
    ~CInFileStream() override;
    HANDLE m_file = INVALID_HANDLE_VALUE;
};

class COutFileStream final : public IOutStream, private CRefCounted {
public:
    // Takes ownership of an open file handle.
    explicit COutFileStream(HANDLE file) : m_file(file) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE Write(const void* data, UInt32 size, UInt32* processedSize) override;
    HRESULT STDMETHODCALLTYPE Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) override;
    HRESULT STDMETHODCALLTYPE SetSize(UInt64 newSize) override;
    UInt64 bytesWritten() const { return m_written; }

private:
    ~COutFileStream() override;
    HANDLE m_file;
    UInt64 m_written = 0;
};

class CArchiveUpdateCallback final : public IArchiveUpdateCallback2, public ICryptoGetTextPassword2, private CRefCounted {
public:
    // The library calls back on threads of its own: the job's state goes
    // with the callback so that its log lines reach the job's log.
    CArchiveUpdateCallback(const std::vector<CDirItem>* items, CLog* log) : m_items(items), m_log(log) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE SetTotal(UInt64 total) override;
    HRESULT STDMETHODCALLTYPE SetCompleted(const UInt64* completeValue) override;
    HRESULT STDMETHODCALLTYPE GetUpdateItemInfo(UInt32 index, Int32* newData, Int32* newProps,
                                                UInt32* indexInArchive) override;
    HRESULT STDMETHODCALLTYPE GetProperty(UInt32 index, PROPID propID, PROPVARIANT* value) override;
    HRESULT STDMETHODCALLTYPE GetStream(UInt32 index, ISequentialInStream** inStream) override;
    HRESULT STDMETHODCALLTYPE SetOperationResult(Int32 operationResult) override;
    HRESULT STDMETHODCALLTYPE GetVolumeSize(UInt32 index, UInt64* size) override;
    HRESULT STDMETHODCALLTYPE GetVolumeStream(UInt32 index, ISequentialOutStream** volumeStream) override;
    HRESULT STDMETHODCALLTYPE CryptoGetTextPassword2(Int32* passwordIsDefined, BSTR* password) override;

    std::vector<std::wstring> failedFiles;
    std::vector<HRESULT> failedCodes;

private:
    const std::vector<CDirItem>* m_items;
    CLog* m_log;  // the job's log, bound on the library's worker threads
    std::wstring m_dirPrefix;
    bool m_passwordIsDefined = false;
    bool m_askPassword = false;
    std::wstring m_password;
    std::vector<UInt64> m_volumeSizes;
    std::wstring m_volumeName, m_volumeExt;
    bool m_needsClosing = false;
};

// Compresses inputPath into archivePath (which must not exist yet) with
// 7z.dll from sevenZipDir. command is always 1 (compress).
bool compressFile(const wchar_t* sevenZipDir, const wchar_t* storagePath, BYTE command, const wchar_t* archivePath,
                  const wchar_t* inputPath);
