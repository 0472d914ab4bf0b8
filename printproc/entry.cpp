// The spooler's print-processor interface.
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>
#include <algorithm>
#include <cstring>
#include <strsafe.h>
#include "base/devmode.h"
#include "base/unique.h"
#include "diag/eventlog.h"
#include "printproc/datatypes.h"
#include "printproc/jobcontext.h"
#include "printproc/rawjob/jobroutine.h"
#include "printproc/memory.h"
#include "printproc/params.h"
#include "printproc/playback/failurelog.h"
#include "printproc/playback/playback.h"
#include "printproc/printerinfo.h"

namespace {
constexpr DWORD kRestrictedAttributes = PRINTER_ATTRIBUTE_DIRECT | PRINTER_ATTRIBUTE_RAW_ONLY;

// Ends an open that failed, keeping the failing call's last error. No log
// is open yet: the reason goes to the event log.
HANDLE failOpen(JobContext* ctx, const PRINTPROCESSOROPENDATA* data = nullptr, const wchar_t* step = nullptr) {
    DWORD error = GetLastError();
    releaseJobContext(ctx);
    if (data && step) {
        wchar_t line[1024];
        StringCchPrintfW(line, 1024, L"OpenPrintProcessor FAILED for printer <%s>, datatype <%s>, document <%s>: %s, error %lu",
                         data->pPrinterName ? data->pPrinterName : L"", data->pDatatype ? data->pDatatype : L"",
                         data->pDocumentName ? data->pDocumentName : L"", step, error);
        reportEvent(line);
        reportSystemError(error);
    }
    SetLastError(error);
    return nullptr;
}

bool copyFailed(const void* copy, const void* source) { return source && !copy; }

// What a job's parameters may ask for: as many copies as a DEVMODE can hold,
// tab stops no wider than a line can be.
constexpr DWORD kMaxCopies = 0x7FFF;
constexpr DWORD kMaxTabSize = 256;

void applyParameters(JobContext* ctx) {
    if (!ctx->parameters) return;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (getParameter(ctx->parameters, L"COPIES", PARAM_NUMBER, &size, &value) == 0 && size == sizeof(value))
        ctx->copies = std::min(value, kMaxCopies);
    if (ctx->datatype == DT_TEXT) {
        value = 0;
        size = sizeof(value);
        if (getParameter(ctx->parameters, L"TABS", PARAM_NUMBER, &size, &value) == 0 && size == sizeof(value) &&
            value != 0)
            ctx->tabSize = std::min(value, kMaxTabSize);
    }
}

// Copies are made here only when the printer is not a direct one.
void checkCopies(JobContext* ctx) {
    if (ctx->copies <= 1) return;
    HANDLE printer = ctx->printerHandle;
    unique_printer opened;
    if (ctx->datatype != DT_RAW) {
        if (!OpenPrinterW(ctx->printerName, opened.put(), nullptr)) opened.release();
        printer = opened.get();
    }
    if (!printer) {
        ctx->copies = 1;
        return;
    }
    DWORD error = 0;
    unique_hlocal block(fetchPrinterInfo(printer, 2, &error));
    auto info = static_cast<PRINTER_INFO_2W*>(block.get());
    if (!info || (info->Attributes & PRINTER_ATTRIBUTE_DIRECT)) ctx->copies = 1;
}
}  // namespace

JobContext* validateHandle(HANDLE handle) {
    auto ctx = static_cast<JobContext*>(handle);
    if (!ctx || handle == INVALID_HANDLE_VALUE || ctx->signature != kJobSignature) return nullptr;
    return ctx;
}

void releaseJobContext(JobContext* ctx) {
    if (!ctx) return;
    ctx->signature = 0;
    if (ctx->printerHandle) ClosePrinter(ctx->printerHandle);
    if (ctx->dc) DeleteDC(ctx->dc);
    freeBlock(ctx->devMode);
    freeBlock(ctx->openDataPrinterName);
    if (ctx->pauseEvent) CloseHandle(ctx->pauseEvent);
    freeBlock(ctx->printerName);
    freeBlock(ctx->datatypeName);
    freeBlock(ctx->documentName);
    freeBlock(ctx->outputFile);
    freeBlock(ctx->parameters);
    SecureZeroMemory(ctx, sizeof(*ctx));
    freeBlock(ctx);
}

extern "C" {

HANDLE WINAPI OpenPrintProcessor(LPWSTR pPrinterName, PPRINTPROCESSOROPENDATA pData) {
    try {
        if (!pData || !pData->pDatatype || !*pData->pDatatype) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        DWORD datatype = lookupDatatype(pData->pDatatype);
        auto ctx = static_cast<JobContext*>(allocZeroed(sizeof(JobContext)));
        if (!ctx) return nullptr;

        if (datatype == DT_RAW) {
            if (!OpenPrinterW(pPrinterName, &ctx->printerHandle, nullptr)) {
                ctx->printerHandle = nullptr;
                return failOpen(ctx, pData, L"the printer cannot be opened");
            }
            ctx->passThrough = insidePlayback();
        } else if (isEmfDatatype(datatype)) {
            // A DEVMODE too short for its public fields, or longer than any
            // the system defines, is not copied: the printer's default serves.
            if (isUsableDevmode(pData->pDevMode)) {
                DWORD bytes = devmodeBytes(pData->pDevMode);
                ctx->devMode = static_cast<DEVMODEW*>(allocZeroed(bytes));
                if (!ctx->devMode) return failOpen(ctx, pData, L"out of memory");
                memcpy(ctx->devMode, pData->pDevMode, bytes);
            }
        } else if (datatype == DT_TEXT) {
            // Wine names the port here; the open data names the printer.
            LPWSTR printer = pData->pPrinterName && *pData->pPrinterName ? pData->pPrinterName : pPrinterName;
            ctx->dc = CreateDCW(L"", printer, nullptr, pData->pDevMode);
            if (!ctx->dc) return failOpen(ctx, pData, L"no device context for the printer");
        } else {
            SetLastError(ERROR_INVALID_DATATYPE);
            return failOpen(ctx, pData, L"a datatype RPQ does not play");
        }

        ctx->signature = kJobSignature;
        ctx->size = sizeof(JobContext);
        ctx->jobId = pData->JobId;
        ctx->pauseEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        ctx->datatype = datatype;
        ctx->copies = 1;
        ctx->tabSize = 8;
        ctx->printerName = duplicateString(pPrinterName);
        ctx->datatypeName = duplicateString(pData->pDatatype);
        ctx->documentName = duplicateString(pData->pDocumentName);
        ctx->outputFile = duplicateString(pData->pOutputFile);
        ctx->parameters = duplicateString(pData->pParameters);
        ctx->openDataPrinterName = duplicateStringWithRoom(pData->pPrinterName, kPrinterNameRoom);
        if (!ctx->pauseEvent || copyFailed(ctx->printerName, pPrinterName) ||
            copyFailed(ctx->datatypeName, pData->pDatatype) ||
            copyFailed(ctx->documentName, pData->pDocumentName) ||
            copyFailed(ctx->outputFile, pData->pOutputFile) ||
            copyFailed(ctx->parameters, pData->pParameters) ||
            copyFailed(ctx->openDataPrinterName, pData->pPrinterName)) {
            if (GetLastError() == 0) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return failOpen(ctx, pData, L"out of memory");
        }
        applyParameters(ctx);
        checkCopies(ctx);
        return ctx;
    } catch (...) {
        SetLastError(ERROR_INTERNAL_ERROR);
        return nullptr;
    }
}

BOOL WINAPI PrintDocumentOnPrintProcessor(HANDLE hPrintProcessor, LPWSTR pDocumentName) {
    try {
        JobContext* ctx = validateHandle(hPrintProcessor);
        if (!ctx) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        switch (ctx->datatype) {
        case DT_RAW:
            return ctx->passThrough ? passJobThrough(ctx, pDocumentName) : printRawJob(ctx, pDocumentName);
        case DT_EMF_1006:
        case DT_EMF_1007:
        case DT_EMF_1008: {
            CPlaybackMark mark;
            BOOL printed = printEmfJob(ctx, pDocumentName);
            if (!printed) logPlaybackFailure(ctx, "EMF");
            return printed;
        }
        case DT_TEXT: {
            CPlaybackMark mark;
            BOOL printed = printTextJob(ctx, pDocumentName);
            if (!printed) logPlaybackFailure(ctx, "TEXT");
            return printed;
        }
        default:
            return TRUE;
        }
    } catch (...) {
        SetLastError(ERROR_INTERNAL_ERROR);
        return FALSE;
    }
}

BOOL WINAPI ClosePrintProcessor(HANDLE hPrintProcessor) try {
    JobContext* ctx = validateHandle(hPrintProcessor);
    if (!ctx) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    releaseJobContext(ctx);
    return TRUE;
} catch (...) {
    SetLastError(ERROR_INTERNAL_ERROR);
    return FALSE;
}

BOOL WINAPI ControlPrintProcessor(HANDLE hPrintProcessor, DWORD Command) try {
    JobContext* ctx = validateHandle(hPrintProcessor);
    if (!ctx) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    switch (Command) {
    case JOB_CONTROL_PAUSE:
        ResetEvent(ctx->pauseEvent);
        InterlockedOr(&ctx->status, kStatusPaused);
        return TRUE;
    case JOB_CONTROL_CANCEL:
        InterlockedOr(&ctx->status, kStatusAborted);
        if (isEmfDatatype(ctx->datatype) && ctx->dc) CancelDC(ctx->dc);
        [[fallthrough]];
    case JOB_CONTROL_RESUME:
        if (isPaused(ctx)) {
            SetEvent(ctx->pauseEvent);
            InterlockedAnd(&ctx->status, ~static_cast<LONG>(kStatusPaused));
        }
        return TRUE;
    default:
        return FALSE;
    }
} catch (...) {
    SetLastError(ERROR_INTERNAL_ERROR);
    return FALSE;
}

BOOL WINAPI EnumPrintProcessorDatatypesW(LPWSTR, LPWSTR, DWORD Level, LPBYTE pDatatypes, DWORD cbBuf,
                                         LPDWORD pcbNeeded, LPDWORD pcReturned) {
    if (!pcbNeeded || !pcReturned) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pcbNeeded = 0;
    *pcReturned = 0;
    if (Level != 1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD needed = 0;
    for (DWORD i = 0; kDatatypeNames[i]; ++i)
        needed += sizeof(DATATYPES_INFO_1W) + static_cast<DWORD>((wcslen(kDatatypeNames[i]) + 1) * sizeof(wchar_t));
    *pcbNeeded = needed;
    if (cbBuf < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (!pDatatypes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto entries = reinterpret_cast<DATATYPES_INFO_1W*>(pDatatypes);
    LPBYTE end = pDatatypes + cbBuf;
    for (DWORD i = 0; kDatatypeNames[i]; ++i) {
        SIZE_T bytes = (wcslen(kDatatypeNames[i]) + 1) * sizeof(wchar_t);
        end -= bytes;
        memcpy(end, kDatatypeNames[i], bytes);
        entries[i].pName = reinterpret_cast<LPWSTR>(end);
        ++*pcReturned;
    }
    return TRUE;
}

DWORD WINAPI GetPrintProcessorCapabilities(LPWSTR pValueName, DWORD dwAttributes, LPBYTE pData, DWORD nSize,
                                           LPDWORD pcbNeeded) {
    if (!pcbNeeded) return ERROR_INVALID_PARAMETER;
    if (nSize < sizeof(PRINTPROCESSOR_CAPS_1)) {
        *pcbNeeded = sizeof(PRINTPROCESSOR_CAPS_2);
        return ERROR_MORE_DATA;
    }
    bool level2 = nSize >= sizeof(PRINTPROCESSOR_CAPS_2);
    *pcbNeeded = level2 ? sizeof(PRINTPROCESSOR_CAPS_2) : sizeof(PRINTPROCESSOR_CAPS_1);
    if (!pData || !pValueName) return ERROR_INVALID_PARAMETER;
    DWORD datatype = lookupDatatype(pValueName);
    if (datatype == DT_UNKNOWN) return ERROR_INVALID_DATATYPE;

    PRINTPROCESSOR_CAPS_2 caps = {};
    caps.dwLevel = level2 ? 2 : 1;
    if (!isEmfDatatype(datatype)) {
        caps.dwNupOptions = 1;
        caps.dwNumberOfCopies = 0xFFFFFFFF;
        caps.dwNupDirectionCaps = 1;
    } else if ((dwAttributes & kRestrictedAttributes) ||
               ((dwAttributes & PRINTER_ATTRIBUTE_LOCAL) && (dwAttributes & PRINTER_ATTRIBUTE_NETWORK))) {
        caps.dwNupOptions = 1;
        caps.dwNumberOfCopies = 1;
    } else {
        caps.dwNupOptions = 0x812B;
        caps.dwPageOrderFlags = 3;  // normal and reverse order
        caps.dwNumberOfCopies = 0xFFFFFFFF;
        caps.dwDuplexHandlingCaps = 3;
        caps.dwNupDirectionCaps = 15;
        caps.dwNupBorderCaps = 1;
        caps.dwBookletHandlingCaps = 1;
        caps.dwScalingCaps = 1;
    }
    memcpy(pData, &caps, *pcbNeeded);
    return 0;
}

}  // extern "C"
