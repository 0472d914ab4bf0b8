#include "storage/sevenzip.h"
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <wrl/client.h>
#include <strsafe.h>
#include "base/unique.h"
#include "diag/log.h"
#include "diag/security.h"

namespace {
using Microsoft::WRL::ComPtr;

HRESULT lastErrorResult() {
    DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

HRESULT seekFile(HANDLE file, Int64 offset, UInt32 origin, UInt64* newPosition) {
    if (origin > 2) return STG_E_INVALIDFUNCTION;
    LARGE_INTEGER distance, position;
    distance.QuadPart = offset;
    if (!SetFilePointerEx(file, distance, &position, origin)) return lastErrorResult();
    if (newPosition) *newPosition = static_cast<UInt64>(position.QuadPart);
    return S_OK;
}

bool sameIid(REFIID a, const GUID& b) { return IsEqualGUID(a, b) != FALSE; }
}  // namespace

// --- CInFileStream

bool CInFileStream::open(const wchar_t* path) {
    m_file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return m_file != INVALID_HANDLE_VALUE;
}

CInFileStream::~CInFileStream() {
    if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
}

HRESULT CInFileStream::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (sameIid(iid, IID_IUnknown) || sameIid(iid, IID_IInStream7z)) *out = static_cast<IInStream*>(this);
    else if (sameIid(iid, IID_IStreamGetSize7z)) *out = static_cast<IStreamGetSize*>(this);
    else return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

HRESULT CInFileStream::Read(void* data, UInt32 size, UInt32* processedSize) {
    DWORD got = 0;
    BOOL ok = ReadFile(m_file, data, size < kMaxIoChunk ? size : kMaxIoChunk, &got, nullptr);
    if (processedSize) *processedSize = got;
    return ok ? S_OK : lastErrorResult();
}

HRESULT CInFileStream::Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) {
    return seekFile(m_file, offset, seekOrigin, newPosition);
}

HRESULT CInFileStream::GetSize(UInt64* size) {
    LARGE_INTEGER s;
    if (!GetFileSizeEx(m_file, &s)) return lastErrorResult();
    *size = static_cast<UInt64>(s.QuadPart);
    return S_OK;
}

// --- COutFileStream

COutFileStream::~COutFileStream() {
    if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
}

HRESULT COutFileStream::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!sameIid(iid, IID_IUnknown) && !sameIid(iid, IID_IOutStream7z)) return E_NOINTERFACE;
    *out = static_cast<IOutStream*>(this);
    AddRef();
    return S_OK;
}

HRESULT COutFileStream::Write(const void* data, UInt32 size, UInt32* processedSize) {
    DWORD written = 0;
    BOOL ok = WriteFile(m_file, data, size < kMaxIoChunk ? size : kMaxIoChunk, &written, nullptr);
    m_written += written;
    if (processedSize) *processedSize = written;
    return ok ? S_OK : lastErrorResult();
}

HRESULT COutFileStream::Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) {
    return seekFile(m_file, offset, seekOrigin, newPosition);
}

HRESULT COutFileStream::SetSize(UInt64 newSize) {
    UInt64 current = 0;
    if (seekFile(m_file, 0, FILE_CURRENT, &current) != S_OK) return E_FAIL;
    if (seekFile(m_file, static_cast<Int64>(newSize), FILE_BEGIN, nullptr) != S_OK) return E_FAIL;
    if (!SetEndOfFile(m_file)) return E_FAIL;
    return seekFile(m_file, static_cast<Int64>(current), FILE_BEGIN, nullptr) == S_OK ? S_OK : E_FAIL;
}

// --- CArchiveUpdateCallback

HRESULT CArchiveUpdateCallback::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (sameIid(iid, IID_IUnknown) || sameIid(iid, IID_IArchiveUpdateCallback2))
        *out = static_cast<IArchiveUpdateCallback2*>(this);
    else if (sameIid(iid, IID_ICryptoGetTextPassword2))
        *out = static_cast<ICryptoGetTextPassword2*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

HRESULT CArchiveUpdateCallback::SetTotal(UInt64) { return S_OK; }
HRESULT CArchiveUpdateCallback::SetCompleted(const UInt64*) { return S_OK; }

HRESULT CArchiveUpdateCallback::GetUpdateItemInfo(UInt32, Int32* newData, Int32* newProps, UInt32* indexInArchive) {
    if (newData) *newData = 1;
    if (newProps) *newProps = 1;
    if (indexInArchive) *indexInArchive = 0xFFFFFFFF;
    return S_OK;
}

HRESULT CArchiveUpdateCallback::GetProperty(UInt32 index, PROPID propID, PROPVARIANT* value) {
    PropVariantInit(value);
    if (propID == kpidIsAnti) {
        value->vt = VT_BOOL;
        value->boolVal = VARIANT_FALSE;
        return S_OK;
    }
    if (index >= m_items->size()) return E_INVALIDARG;
    const CDirItem& item = (*m_items)[index];
    switch (propID) {
    case kpidPath:
        value->vt = VT_BSTR;
        value->bstrVal = SysAllocString(item.name.c_str());
        if (!value->bstrVal) {
            value->vt = VT_EMPTY;
            return E_OUTOFMEMORY;
        }
        break;
    case kpidIsDir:
        value->vt = VT_BOOL;
        value->boolVal = (item.attributes & FILE_ATTRIBUTE_DIRECTORY) ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    case kpidSize:
        value->vt = VT_UI8;
        value->uhVal.QuadPart = item.size;
        break;
    case kpidAttrib:
        value->vt = VT_UI4;
        value->ulVal = item.attributes;
        break;
    case kpidCTime:
        value->vt = VT_FILETIME;
        value->filetime = item.creationTime;
        break;
    case kpidATime:
        value->vt = VT_FILETIME;
        value->filetime = item.accessTime;
        break;
    case kpidMTime:
        value->vt = VT_FILETIME;
        value->filetime = item.writeTime;
        break;
    default:
        break;  // empty
    }
    return S_OK;
}

HRESULT CArchiveUpdateCallback::GetStream(UInt32 index, ISequentialInStream** inStream) {
    *inStream = nullptr;
    CLogScope bound(m_log);
    if (index >= m_items->size()) return E_INVALIDARG;
    const CDirItem& item = (*m_items)[index];
    logMessageW(L_DEBUG, L"Compressing <%s>", item.name.empty() ? L"[Content]" : item.name.c_str());
    if (item.attributes & FILE_ATTRIBUTE_DIRECTORY) return S_OK;
    std::wstring path = m_dirPrefix + item.fullPath;
    auto stream = new (std::nothrow) CInFileStream();
    if (!stream) return E_OUTOFMEMORY;
    ComPtr<CInFileStream> holder(stream);
    if (!stream->open(path.c_str())) {
        failedCodes.push_back(static_cast<HRESULT>(GetLastError()));
        failedFiles.push_back(path);
        logMessage(L_DEBUG, "%s", "");
        logMessage(L_DEBUG, "WARNING: can't open file");
        logMessage(L_DEBUG, "%s", "");
        return S_FALSE;
    }
    *inStream = static_cast<IInStream*>(holder.Detach());  // the caller's reference
    return S_OK;
}

HRESULT CArchiveUpdateCallback::SetOperationResult(Int32) {
    m_needsClosing = true;
    return S_OK;
}

HRESULT CArchiveUpdateCallback::GetVolumeSize(UInt32 index, UInt64* size) {
    if (m_volumeSizes.empty()) return S_FALSE;
    *size = index < m_volumeSizes.size() ? m_volumeSizes[index] : m_volumeSizes.back();
    return S_OK;
}

HRESULT CArchiveUpdateCallback::GetVolumeStream(UInt32 index, ISequentialOutStream** volumeStream) {
    *volumeStream = nullptr;
    wchar_t number[16];
    StringCchPrintfW(number, 16, L"%02u", index + 1);
    std::wstring name = m_volumeName + L"." + number + m_volumeExt;
    HANDLE file = createPrivateFile(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ);
    if (file == INVALID_HANDLE_VALUE) return lastErrorResult();
    auto stream = new (std::nothrow) COutFileStream(file);
    if (!stream) {
        CloseHandle(file);
        return E_OUTOFMEMORY;
    }
    stream->AddRef();
    *volumeStream = stream;
    return S_OK;
}

HRESULT CArchiveUpdateCallback::CryptoGetTextPassword2(Int32* passwordIsDefined, BSTR* password) {
    *passwordIsDefined = m_passwordIsDefined ? 1 : 0;
    *password = SysAllocString(m_password.c_str());
    return *password ? S_OK : E_OUTOFMEMORY;
}

// --- compressFile

bool compressFile(const wchar_t* sevenZipDir, const wchar_t* storagePath, BYTE, const wchar_t* archivePath,
                  const wchar_t* inputPath) {
    logMessageW(L_DEBUG, L"7zip path <%s>", sevenZipDir);
    if (!storagePath) return false;
    logMessageW(L_DEBUG, L"7zip: storagePath <%s>", sevenZipDir);

    wchar_t libraryPath[MAX_PATH];
    if (FAILED(StringCchPrintfW(libraryPath, MAX_PATH, L"%s\\7z.dll", sevenZipDir))) {
        logMessageW(L_ERROR, L"Cannot load 7zip library! <%s>", libraryPath);
        return false;
    }
    unique_hmodule library(LoadLibraryW(libraryPath));
    if (!library) {
        DWORD error = GetLastError();
        logMessageW(L_ERROR, L"Cannot load 7zip library! <%s>", libraryPath);
        logSystemError("Reason <%lu>", error);
        return false;
    }
    auto createObject = reinterpret_cast<CreateObjectFn>(GetProcAddress(library.get(), "CreateObject"));
    if (!createObject) {
        logMessage(L_ERROR, "Can not get CreateObject!");
        return false;
    }
    WIN32_FIND_DATAW entry;
    {
        unique_hfind find(FindFirstFileW(inputPath, &entry));
        if (!find) {
            logMessageW(L_ERROR, L"Can't find file <%s>", inputPath);
            return false;
        }
    }
    std::vector<CDirItem> items(1);
    CDirItem& item = items[0];
    item.attributes = entry.dwFileAttributes;
    item.size = (static_cast<UInt64>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
    item.creationTime = entry.ftCreationTime;
    item.accessTime = entry.ftLastAccessTime;
    item.writeTime = entry.ftLastWriteTime;
    item.fullPath = inputPath;
    wchar_t drive[3], dir[MAX_PATH], name[256], ext[256];
    if (_wsplitpath_s(inputPath, drive, 3, dir, MAX_PATH, name, 256, ext, 256) != 0) {
        logMessage(L_ERROR, "Could not split the file path");
        item.name = inputPath;
    } else {
        item.name = std::wstring(name) + ext;
    }

    HANDLE archive = createPrivateFile(archivePath, GENERIC_WRITE, FILE_SHARE_READ);
    if (archive == INVALID_HANDLE_VALUE) {
        logMessage(L_ERROR, "Can't create archive file!");
        return false;
    }
    auto outStream = new (std::nothrow) COutFileStream(archive);
    if (!outStream) {
        CloseHandle(archive);
        return false;
    }
    ComPtr<COutFileStream> outRef(outStream);
    ComPtr<IOutArchive> outArchive;
    void** archiveOut = reinterpret_cast<void**>(outArchive.GetAddressOf());
    if (FAILED(createObject(&CLSID_CFormat7z, &IID_IOutArchive7z, archiveOut)) || !outArchive) {
        logMessage(L_ERROR, "Can not set function CLSID_CFormat7z on outArchive!");
        return false;
    }
    auto callback = new (std::nothrow) CArchiveUpdateCallback(&items, currentLog());
    if (!callback) return false;
    ComPtr<CArchiveUpdateCallback> callbackRef(callback);
    HRESULT result = outArchive->UpdateItems(static_cast<IOutStream*>(outStream), 1,
                                             static_cast<IArchiveUpdateCallback2*>(callback));
    if (FAILED(result)) {
        logMessage(L_ERROR, "Update Error!");
        return false;
    }
    for (const std::wstring& failed : callback->failedFiles) logMessageW(L_ERROR, L"Error for file <%s>", failed.c_str());
    if (!callback->failedFiles.empty()) {
        logMessage(L_ERROR, "One or more files failed!");
        return false;
    }
    logMessage(L_DEBUG, "All files succeeded!");
    return true;
}
