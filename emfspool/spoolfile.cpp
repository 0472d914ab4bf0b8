#include "emfspool/spoolfile.h"
#include <winspool.h>
#include <strsafe.h>
#include <memory>
#include <string>
#include <vector>
#include "base/unique.h"
#include "diag/eventlog.h"
#include "emfspool/pagerecords.h"
#include "emfspool/stream.h"

namespace emfspool {
namespace {
constexpr DWORD kReadBlock = 1 << 20;
constexpr DWORD kPageTypeNormal = 1;

struct CSpoolFile {
    std::vector<BYTE> bytes;
    SpoolStream stream;
    unique_hdc dc;
    std::vector<BYTE> jobDevMode;  // the DEVMODE the job was opened with
};

struct PagePlay {
    DWORD handles;
};

// Hands Wine's player only the records it cannot fault on.
int CALLBACK playRecord(HDC dc, HANDLETABLE* table, const ENHMETARECORD* record, int count, LPARAM data) {
    auto* play = reinterpret_cast<const PagePlay*>(data);
    if (isPlayableRecord(record, play->handles)) PlayEnhMetaFileRecord(dc, table, record, static_cast<UINT>(count));
    return 1;
}

CSpoolFile* fromHandle(HANDLE spool) {
    if (!spool) SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<CSpoolFile*>(spool);
}

// The whole job, read through the spooler from its first byte.
bool readJob(LPWSTR jobName, std::vector<BYTE>* bytes) {
    unique_printer job;
    if (!OpenPrinterW(jobName, job.put(), nullptr)) return false;
    DWORD got = 0;
    do {
        size_t used = bytes->size();
        bytes->resize(used + kReadBlock);
        if (!ReadPrinter(job.get(), bytes->data() + used, kReadBlock, &got)) return false;
        bytes->resize(used + got);
    } while (got != 0);
    return true;
}

void reportDamage(LPWSTR jobName, const char* reason) {
    wchar_t text[512];
    StringCchPrintfW(text, ARRAYSIZE(text), L"The EMF spool data of %ls is damaged (%hs); the job is not played.",
                     jobName, reason);
    reportEvent(text);
}

const DEVMODEW* devModeOf(const CSpoolFile* file, DWORD page) {
    if (page >= 1 && page <= file->stream.pages.size() && file->stream.pages[page - 1].devMode)
        return file->stream.pages[page - 1].devMode;
    return file->jobDevMode.empty() ? nullptr : reinterpret_cast<const DEVMODEW*>(file->jobDevMode.data());
}
}  // namespace

HANDLE WINAPI getSpoolFileHandle(LPWSTR printerName, LPDEVMODEW devMode, LPWSTR jobName) {
    auto file = std::make_unique<CSpoolFile>();
    if (!readJob(jobName, &file->bytes)) return nullptr;
    const char* reason = "";
    if (!parseSpoolStream(file->bytes.data(), file->bytes.size(), &file->stream, &reason)) {
        reportDamage(jobName, reason);
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    // Every page is checked before the first is started: a job refused for
    // its fifth page prints nothing, not four pages and a failure.
    for (const SpoolPage& page : file->stream.pages)
        if (!checkPageRecords(file->bytes.data() + page.offset, page.size, &reason)) {
            reportDamage(jobName, reason);
            SetLastError(ERROR_INVALID_DATA);
            return nullptr;
        }
    if (devMode) {
        auto raw = reinterpret_cast<const BYTE*>(devMode);
        file->jobDevMode.assign(raw, raw + devMode->dmSize + devMode->dmDriverExtra);
    }
    file->dc.reset(CreateDCW(L"", printerName, nullptr, devMode));
    if (!file->dc) return nullptr;
    return file.release();
}

BOOL WINAPI deleteSpoolFileHandle(HANDLE spool) {
    CSpoolFile* file = fromHandle(spool);
    if (!file) return FALSE;
    delete file;
    return TRUE;
}

HDC WINAPI getDC(HANDLE spool) {
    CSpoolFile* file = fromHandle(spool);
    return file ? file->dc.get() : nullptr;
}

DWORD WINAPI getPageCount(HANDLE spool) {
    CSpoolFile* file = fromHandle(spool);
    return file ? static_cast<DWORD>(file->stream.pages.size()) : 0;
}

// A page's handle is its number.
HANDLE WINAPI getPageHandle(HANDLE spool, DWORD page, LPDWORD pageType) {
    CSpoolFile* file = fromHandle(spool);
    if (!file) return nullptr;
    if (page == 0 || page > file->stream.pages.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return nullptr;
    }
    if (pageType) *pageType = kPageTypeNormal;
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(page));
}

BOOL WINAPI getDevmodeForPage(HANDLE spool, DWORD page, PDEVMODEW* current, PDEVMODEW* previous) {
    CSpoolFile* file = fromHandle(spool);
    if (!file) return FALSE;
    if (current) *current = const_cast<PDEVMODEW>(devModeOf(file, page));
    if (previous) *previous = page > 1 ? const_cast<PDEVMODEW>(devModeOf(file, page - 1)) : nullptr;
    return TRUE;
}

BOOL WINAPI startDocEMF(HANDLE spool, DOCINFOW* docInfo) {
    CSpoolFile* file = fromHandle(spool);
    return file && StartDocW(file->dc.get(), docInfo) > 0;
}

BOOL WINAPI startPageEMF(HANDLE spool) {
    CSpoolFile* file = fromHandle(spool);
    return file && StartPage(file->dc.get()) > 0;
}

BOOL WINAPI playPageEMF(HANDLE spool, HANDLE page, RECT* document, RECT* border, RECT* clip) {
    CSpoolFile* file = fromHandle(spool);
    if (!file) return FALSE;
    auto number = static_cast<size_t>(reinterpret_cast<ULONG_PTR>(page));
    if (number == 0 || number > file->stream.pages.size() || !document) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const SpoolPage& data = file->stream.pages[number - 1];
    const BYTE* bytes = file->bytes.data() + data.offset;
    const char* reason = nullptr;
    if (!checkPageRecords(bytes, data.size, &reason)) {
        wchar_t text[128];
        StringCchPrintfW(text, ARRAYSIZE(text), L"ERROR: EMF spool data refused: %hs (page %u)", reason,
                         static_cast<unsigned>(number));
        reportEvent(text);
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    unique_hemf metafile(SetEnhMetaFileBits(static_cast<UINT>(data.size), bytes));
    if (!metafile) return FALSE;
    HDC dc = file->dc.get();
    int saved = SaveDC(dc);
    if (clip) IntersectClipRect(dc, clip->left, clip->top, clip->right, clip->bottom);
    PagePlay play = {*reinterpret_cast<const WORD*>(bytes + 56)};
    BOOL played = EnumEnhMetaFile(dc, metafile.get(), playRecord, &play, document);
    RestoreDC(dc, saved);
    if (played && border) {
        HGDIOBJ brush = SelectObject(dc, GetStockObject(NULL_BRUSH));
        Rectangle(dc, border->left, border->top, border->right, border->bottom);
        SelectObject(dc, brush);
    }
    return played;
}

BOOL WINAPI endPageEMF(HANDLE spool, DWORD) {
    CSpoolFile* file = fromHandle(spool);
    return file && EndPage(file->dc.get()) > 0;
}

BOOL WINAPI resetDCEMF(HANDLE spool, PDEVMODEW devMode) {
    CSpoolFile* file = fromHandle(spool);
    return file && ResetDCW(file->dc.get(), devMode) != nullptr;
}

BOOL WINAPI endDocEMF(HANDLE spool) {
    CSpoolFile* file = fromHandle(spool);
    return file && EndDoc(file->dc.get()) > 0;
}
}  // namespace emfspool
