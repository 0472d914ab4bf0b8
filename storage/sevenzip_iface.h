// The 7-Zip library's object interfaces (Windows COM layout), as far as
// the archive client uses them.
#pragma once
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <propidl.h>

using UInt32 = unsigned int;
using Int32 = int;
using UInt64 = unsigned long long;
using Int64 = long long;

struct ISequentialInStream : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Read(void* data, UInt32 size, UInt32* processedSize) = 0;
};
struct IInStream : ISequentialInStream {
    virtual HRESULT STDMETHODCALLTYPE Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) = 0;
};
struct IStreamGetSize : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetSize(UInt64* size) = 0;
};
struct ISequentialOutStream : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Write(const void* data, UInt32 size, UInt32* processedSize) = 0;
};
struct IOutStream : ISequentialOutStream {
    virtual HRESULT STDMETHODCALLTYPE Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSize(UInt64 newSize) = 0;
};
struct IProgress : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetTotal(UInt64 total) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCompleted(const UInt64* completeValue) = 0;
};
struct IArchiveUpdateCallback : IProgress {
    virtual HRESULT STDMETHODCALLTYPE GetUpdateItemInfo(UInt32 index, Int32* newData, Int32* newProps,
                                                        UInt32* indexInArchive) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetProperty(UInt32 index, PROPID propID, PROPVARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStream(UInt32 index, ISequentialInStream** inStream) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetOperationResult(Int32 operationResult) = 0;
};
struct IArchiveUpdateCallback2 : IArchiveUpdateCallback {
    virtual HRESULT STDMETHODCALLTYPE GetVolumeSize(UInt32 index, UInt64* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetVolumeStream(UInt32 index, ISequentialOutStream** volumeStream) = 0;
};
struct ICryptoGetTextPassword2 : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CryptoGetTextPassword2(Int32* passwordIsDefined, BSTR* password) = 0;
};
struct IOutArchive : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE UpdateItems(ISequentialOutStream* outStream, UInt32 numItems,
                                                  IArchiveUpdateCallback* updateCallback) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFileTimeType(UInt32* type) = 0;
};

// 7-Zip's published identifiers.
constexpr GUID CLSID_CFormat7z = {0x23170F69, 0x40C1, 0x278A, {0x10, 0x00, 0x00, 0x01, 0x10, 0x07, 0x00, 0x00}};
constexpr GUID IID_IOutArchive7z = {0x23170F69, 0x40C1, 0x278A, {0x00, 0x00, 0x00, 0x06, 0x00, 0xA0, 0x00, 0x00}};
constexpr GUID IID_IArchiveUpdateCallback2 = {0x23170F69, 0x40C1, 0x278A, {0x00, 0x00, 0x00, 0x06, 0x00, 0x82, 0x00, 0x00}};
constexpr GUID IID_ICryptoGetTextPassword2 = {0x23170F69, 0x40C1, 0x278A, {0x00, 0x00, 0x00, 0x05, 0x00, 0x11, 0x00, 0x00}};
constexpr GUID IID_IInStream7z = {0x23170F69, 0x40C1, 0x278A, {0x00, 0x00, 0x00, 0x03, 0x00, 0x03, 0x00, 0x00}};
constexpr GUID IID_IOutStream7z = {0x23170F69, 0x40C1, 0x278A, {0x00, 0x00, 0x00, 0x03, 0x00, 0x04, 0x00, 0x00}};
constexpr GUID IID_IStreamGetSize7z = {0x23170F69, 0x40C1, 0x278A, {0x00, 0x00, 0x00, 0x03, 0x00, 0x06, 0x00, 0x00}};

enum : PROPID {
    kpidPath = 3,
    kpidIsDir = 6,
    kpidSize = 7,
    kpidAttrib = 9,
    kpidCTime = 10,
    kpidATime = 11,
    kpidMTime = 12,
    kpidIsAnti = 21,
};

using CreateObjectFn = HRESULT(WINAPI*)(const GUID* clsid, const GUID* iid, void** outObject);
